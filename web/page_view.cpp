#include "web/page_view.h"

#include <emscripten.h>

EM_JS(void, page_js_status, (const char* text), { Module.page.status(UTF8ToString(text)); });
EM_JS(void, page_js_trace, (const char* text), { Module.page.trace(UTF8ToString(text)); });
EM_JS(void, page_js_progress, (int state, int done, int total, unsigned resends), {
    Module.page.progress(state, done, total, resends);
});
EM_JS(void, page_js_note, (int note, const char* text), { Module.page.note(note, UTF8ToString(text)); });
EM_JS(int, page_js_cancel_requested, (), { return Module.page.cancelRequested() ? 1 : 0; });
EM_JS(void, page_js_port_name, (int number, char* name, int size), { stringToUTF8(Module.page.portName(number), name, size); });
EM_ASYNC_JS(int, page_js_wait_for_port, (int lost_number), { return await Module.page.waitForPort(lost_number); });

void page_status(const char* text) { page_js_status(text); }

void page_trace(const char* text) { page_js_trace(text); }

void page_progress(const PageJobResults& results, std::uint32_t resends)
{
    page_js_progress(static_cast<int>(results.state), results.blocks_done, results.blocks_total, resends);
}

void page_note(PageNote note, const std::string& text) { page_js_note(static_cast<int>(note), text.c_str()); }

bool page_cancel_requested() { return page_js_cancel_requested() != 0; }

std::string page_port_name(int number)
{
    char name[128] = "";
    page_js_port_name(number, name, static_cast<int>(sizeof name));
    return name;
}

int page_wait_for_port(int lost_number) { return page_js_wait_for_port(lost_number); }
