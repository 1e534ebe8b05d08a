// Drives the updater's dialog from another process, the way a user would,
// through window messages only. Each command-line argument is one command,
// run in order; the first that fails ends the driver with exit code 2.
//
//   wait-window:MS        wait for the dialog (found by its caption)
//   dump                  print the caption, class, styles, screen rectangle and
//                         client size, then every control: id, class, styles,
//                         x, y, width, height in the client area, text; then
//                         the combo box's items and its selection
//   select:I              select combo item I (-1: none)
//   click                 press the update button
//   status                print the status text
//   wait-status:MS:TEXT   poll the status until it is TEXT, printing each
//                         new text seen on the way
//   wait-status-prefix:MS:TEXT   the same, until the status starts with TEXT
//   watch-status:MS       print each new status text for MS milliseconds
//   wait-box:MS           wait for the "Terminate Program" box, print its text
//   ok                    press OK on that box
//   close                 close the dialog (WM_CLOSE)
//   wait-gone:MS          wait until the dialog no longer exists
//   sleep:MS              pause
//   version-info:PATH     print the version resource of the program at PATH
//                         (a Windows path) as Windows reads it: the fixed
//                         file and product versions and flags, then each
//                         string value
//
// Texts are printed escaped (\n, \r, \\, \xNN) so that one text is one line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr const char* DIALOG_CAPTION = "QDM7 Firmware Update Tool";
constexpr const char* FATAL_CAPTION = "Terminate Program";
constexpr int PORT_LIST_ID = 3;
constexpr int UPDATE_BUTTON_ID = 4;
constexpr int STATUS_ID = 5;
// Polling period while waiting; short enough to see every status text,
// which each stays up at least until the next 10 ms tick.
constexpr DWORD POLL_MS = 2;
// A single message must not hang the driver on a program that stopped
// answering (a tick holds the dialog's thread for up to a few 100 ms).
constexpr UINT SEND_TIMEOUT_MS = 5000;

HWND dialog;
HWND fatal_box;

std::string escaped(std::string_view text)
{
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\\') out += "\\\\";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

bool send(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR& result)
{
    return SendMessageTimeoutA(window, message, wparam, lparam, SMTO_NORMAL, SEND_TIMEOUT_MS,
                               &result) != 0;
}

std::string window_text(HWND window)
{
    char text[2048] = "";
    DWORD_PTR length = 0;
    if (!send(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), length))
        return "<no answer>";
    return std::string(text, length < sizeof text ? length : sizeof text - 1);
}

// Combo items are read as wide text: sent across processes with the ANSI
// call, Wine returns them as UTF-16.
std::string combo_item(HWND combo, int index)
{
    wchar_t wide[512] = L"";
    LRESULT length = SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                  reinterpret_cast<LPARAM>(wide));
    if (length == CB_ERR)
        return "<error>";
    char text[1024] = "";
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
}

bool wait_until(DWORD timeout_ms, bool (*done)())
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (done())
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(POLL_MS);
    }
}

bool find_dialog()
{
    dialog = FindWindowA(nullptr, DIALOG_CAPTION);
    return dialog != nullptr;
}

BOOL CALLBACK find_fatal_box_in(HWND window, LPARAM)
{
    char caption[64] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (std::strcmp(caption, FATAL_CAPTION) == 0 && IsWindowVisible(window)) {
        fatal_box = window;
        return FALSE;
    }
    return TRUE;
}

bool find_fatal_box()
{
    fatal_box = nullptr;
    EnumWindows(find_fatal_box_in, 0);
    return fatal_box != nullptr;
}

bool dialog_gone() { return !IsWindow(dialog); }

// The dialog's own controls, in tab order (the combo box's inner edit field
// is left out).
BOOL CALLBACK print_control(HWND control, LPARAM)
{
    if (GetParent(control) != dialog)
        return TRUE;
    char class_name[64] = "";
    GetClassNameA(control, class_name, sizeof class_name);
    const int id = GetDlgCtrlID(control);
    const auto style = static_cast<unsigned long>(GetWindowLongA(control, GWL_STYLE));
    const auto ex_style = static_cast<unsigned long>(GetWindowLongA(control, GWL_EXSTYLE));
    // Where it sits in the dialog's client area, in pixels.
    RECT box{};
    GetWindowRect(control, &box);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&box), 2);
    std::printf("control %d %s %08lx %08lx %ld %ld %ld %ld %s\n", id, class_name, style, ex_style,
                box.left, box.top, box.right - box.left, box.bottom - box.top,
                escaped(window_text(control)).c_str());
    return TRUE;
}

// The message box's text is its static control that is not the icon.
BOOL CALLBACK print_box_text(HWND control, LPARAM)
{
    char class_name[64] = "";
    GetClassNameA(control, class_name, sizeof class_name);
    if (_stricmp(class_name, "Static") == 0 && (GetWindowLongA(control, GWL_STYLE) & SS_ICON) == 0) {
        const std::string text = window_text(control);
        if (!text.empty())
            std::printf("box %s\n", escaped(text).c_str());
    }
    return TRUE;
}

void dump()
{
    std::printf("caption %s\n", escaped(window_text(dialog)).c_str());
    std::printf("style %08lx %08lx\n", static_cast<unsigned long>(GetWindowLongA(dialog, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongA(dialog, GWL_EXSTYLE)));
    char class_name[64] = "";
    GetClassNameA(dialog, class_name, sizeof class_name);
    std::printf("class %s\n", class_name);
    RECT rect{};
    GetWindowRect(dialog, &rect);
    std::printf("rect %ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    GetClientRect(dialog, &rect);
    std::printf("client %ld %ld\n", rect.right, rect.bottom);
    EnumChildWindows(dialog, print_control, 0);
    HWND combo = GetDlgItem(dialog, PORT_LIST_ID);
    DWORD_PTR count = 0;
    DWORD_PTR selected = 0;
    send(combo, CB_GETCOUNT, 0, 0, count);
    for (int i = 0; i < static_cast<int>(count); ++i)
        std::printf("item %d %s\n", i, escaped(combo_item(combo, i)).c_str());
    send(combo, CB_GETCURSEL, 0, 0, selected);
    std::printf("selected %d\n", static_cast<int>(selected));
}

// Polls the status field, printing each text that differs from the last one
// printed, until done(text) holds or the time is up.
std::string last_status;

bool watch_status(DWORD timeout_ms, const std::string& wanted, bool prefix, bool forever)
{
    HWND status = GetDlgItem(dialog, STATUS_ID);
    const DWORD start = GetTickCount();
    for (;;) {
        if (!IsWindow(status))
            return false;
        const std::string text = window_text(status);
        if (text != last_status) {
            std::printf("status %s\n", escaped(text).c_str());
            std::fflush(stdout);
            last_status = text;
        }
        if (!forever && (prefix ? text.rfind(wanted, 0) == 0 : text == wanted))
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return forever;
        Sleep(POLL_MS);
    }
}

bool fail(const char* command, const char* why)
{
    std::fprintf(stderr, "driver: %s: %s\n", command, why);
    return false;
}

bool print_version_info(const std::string& path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0)
        return false;
    std::string data(size, '\0');
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data()))
        return false;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    std::printf("file-version %d.%d.%d.%d\nproduct-version %d.%d.%d.%d\nflags %#lx\n",
                HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS),
                fixed->dwFileFlags & fixed->dwFileFlagsMask);
    // The strings of the first language the resource lists, as Explorer shows them.
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 4)
        return false;
    const auto* language = static_cast<const WORD*>(value);
    std::printf("translation %04x %u\n", language[0], language[1]);
    for (const char* key : {"ProductName", "ProductVersion", "FileVersion", "FileDescription",
                            "InternalName", "Comments"}) {
        char query[96];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", language[0],
                      language[1], key);
        if (VerQueryValueA(data.data(), query, &value, &length) && length > 0)
            std::printf("value %s %s\n", key, escaped(static_cast<const char*>(value)).c_str());
    }
    return true;
}

bool run(const char* command)
{
    const std::string_view line(command);
    const auto colon = line.find(':');
    const std::string name(line.substr(0, colon));
    std::string rest = colon == std::string_view::npos ? "" : std::string(line.substr(colon + 1));
    // Commands with a time-out take it first: NAME:MS[:TEXT].
    const DWORD ms = static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 10));
    const auto second = rest.find(':');
    const std::string text = second == std::string::npos ? "" : rest.substr(second + 1);

    if (name == "wait-window")
        return wait_until(ms, find_dialog) || fail(command, "no dialog");
    if (name == "sleep") {
        Sleep(ms);
        return true;
    }
    if (name == "version-info")
        return print_version_info(rest) || fail(command, "no version resource");
    if (name == "wait-box") {
        if (!wait_until(ms, find_fatal_box))
            return fail(command, "no message box");
        std::printf("box-owner %s\n", GetWindow(fatal_box, GW_OWNER) == dialog ? "dialog" : "other");
        EnumChildWindows(fatal_box, print_box_text, 0);
        return true;
    }
    if (name == "ok") {
        if (fatal_box == nullptr)
            return fail(command, "no message box");
        return PostMessageA(fatal_box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) != 0 ||
               fail(command, "PostMessage failed");
    }
    if (dialog == nullptr || !IsWindow(dialog)) {
        if (name == "wait-gone")
            return true;
        return fail(command, "no dialog");
    }
    if (name == "dump") {
        dump();
        return true;
    }
    if (name == "select") {
        // -1 clears the selection, as typing into the box does.
        const long index = std::strtol(rest.c_str(), nullptr, 10);
        DWORD_PTR result = 0;
        send(GetDlgItem(dialog, PORT_LIST_ID), CB_SETCURSEL, static_cast<WPARAM>(index), 0, result);
        return static_cast<LRESULT>(result) == index || fail(command, "no such item");
    }
    // Posted, not sent: the press may end in a modal message box.
    if (name == "click")
        return PostMessageA(GetDlgItem(dialog, UPDATE_BUTTON_ID), BM_CLICK, 0, 0) != 0 ||
               fail(command, "PostMessage failed");
    if (name == "status") {
        std::printf("status %s\n", escaped(window_text(GetDlgItem(dialog, STATUS_ID))).c_str());
        return true;
    }
    if (name == "wait-status")
        return watch_status(ms, text, false, false) || fail(command, "status not reached");
    if (name == "wait-status-prefix")
        return watch_status(ms, text, true, false) || fail(command, "status not reached");
    if (name == "watch-status")
        return watch_status(ms, "", false, true) || fail(command, "dialog gone");
    if (name == "close")
        return PostMessageA(dialog, WM_CLOSE, 0, 0) != 0 || fail(command, "PostMessage failed");
    if (name == "wait-gone")
        return wait_until(ms, dialog_gone) || fail(command, "dialog still there");
    return fail(command, "unknown command");
}

} // namespace

int main(int argc, char** argv)
{
    // Commands after the first may rely on a dialog that is already there.
    find_dialog();
    for (int i = 1; i < argc; ++i) {
        std::printf("> %s\n", argv[i]);
        std::fflush(stdout);
        if (!run(argv[i])) {
            std::fflush(stdout);
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
