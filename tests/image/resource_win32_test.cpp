// The image resource as Windows itself sees it in this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/embedded_image.h"

namespace {

BOOL CALLBACK add_name(HMODULE, LPCSTR, LPSTR name, LONG_PTR names)
{
    // A numbered resource would show as "#<number>", as resource scripts write it.
    char number[16];
    if (IS_INTRESOURCE(name))
        std::snprintf(number, sizeof number, "#%u", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
    reinterpret_cast<std::vector<std::string>*>(names)->emplace_back(IS_INTRESOURCE(name) ? number : name);
    return TRUE;
}

BOOL CALLBACK add_language(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR languages)
{
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

TEST(ImageResource, IsOneRcdataNamedBinfileInEnglishUnitedKingdom)
{
    std::vector<std::string> names;
    EnumResourceNamesA(nullptr, RT_RCDATA, add_name, reinterpret_cast<LONG_PTR>(&names));
    EXPECT_EQ(names, std::vector<std::string>{"BINFILE"});

    std::vector<WORD> languages;
    EnumResourceLanguagesA(nullptr, RT_RCDATA, "BINFILE", add_language,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::vector<WORD>{0x0809});
    EXPECT_EQ(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK), 0x0809);

    const HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceExA(module, RT_RCDATA, "BINFILE", 0x0809);
    ASSERT_NE(found, nullptr);
    const EmbeddedImage embedded = find_embedded_image(module);
    EXPECT_EQ(SizeofResource(module, found), embedded.length);
    EXPECT_EQ(LockResource(LoadResource(module, found)), embedded.data);
}

} // namespace
