// The program's entry and its one window. The dialog "PCF" is created with
// no dialog procedure: its private window class sends every message to
// main_window_proc, which starts an update when the button is pressed and
// advances the update job from a 10 ms timer until the device has reset.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "build_info.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "platform/embedded_image.h"
#include "platform/report.h"
#include "platform/serial_port.h"
#include "resources/resource.h"

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

// The job is paced by a JOB_TICK_MS timer. While one tick runs (it may wait
// up to a few hundred milliseconds on the port), the timer is pushed 10 s
// away so that no tick queues up behind a slow one.
constexpr UINT JOB_TICK_HOLD_MS = 10000;

constexpr DWORD COMPLETED_BEEP_HZ = 2000;
constexpr DWORD COMPLETED_BEEP_MS = 100;

// Reported in the trace as is; the program does not depend on the version.
constexpr unsigned REPORTED_WINDOWS_VERSION = 0xA00;

// The dialog template, whose CLASS names the window class registered here.
constexpr const char* DIALOG_TEMPLATE = "PCF";

HINSTANCE program_instance;
char class_name[64] = "PCF";
HWND port_list;
UpdateJob job;

// Discovery fills the dialog's combo box in probe order, so a list position
// is a port_table index.
void add_port_to_list(void* list, const char* path)
{
    SendMessageA(static_cast<HWND>(list), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path));
}

void select_first_port(void* list)
{
    SendMessageA(static_cast<HWND>(list), CB_SETCURSEL, 0, 0);
}

// Every status text, the job's among them, goes to the dialog's status field.
void show_in_status_field(const char* text)
{
    SetDlgItemTextA(static_cast<HWND>(main_window()), IDC_STATUS, text);
}

// The update button: (re)start the update on the selected port. Pressed
// during an update, it restarts from the beginning; nothing is disabled.
void start_update(HWND window)
{
    const LRESULT index = SendMessageA(port_list, CB_GETCURSEL, 0, 0);
    // Nothing selected (an empty list, or text typed into the box): the
    // empty path, whose open fails like that of a port that has gone.
    const char* path = index >= 0 && index < PORT_TABLE_SIZE ? port_table[index].path : "";
    // The port of an update still running is closed before it is opened again.
    close_port(job.port_handle);
    trace(" . Opening serial port %s at %ld baud\n", path, static_cast<long>(LINK_BAUD));
    PortFailure failure;
    const PortHandle port = open_port(path, failure, false);
    // Absent, or held by another program: the end, with the system's text.
    if (port == INVALID_PORT_HANDLE)
        fatal_error_with_code(PORT_OPEN_FAILED_TEXT, failure.code);
    // A port that cannot be configured is still tried as it is.
    if (!configure_port(port, LINK_BAUD, READ_INTERVAL_MS, failure))
        std::fprintf(stderr, "%s\n", failure.text);
    start_job(job, path, port);
    SetTimer(window, ID_JOB_TIMER, JOB_TICK_MS, nullptr);
}

// One timer message: one step of the job, then the completion handling once
// the device has acknowledged its reset. A failed job keeps its timer and
// port; its ticks do nothing until the button is pressed again.
void advance_update(HWND window)
{
    SetTimer(window, ID_JOB_TIMER, JOB_TICK_HOLD_MS, nullptr);
    job_tick(job);
    SetTimer(window, ID_JOB_TIMER, JOB_TICK_MS, nullptr);
    if (job.state == JobState::Completed) {
        KillTimer(window, ID_JOB_TIMER);
        Beep(COMPLETED_BEEP_HZ, COMPLETED_BEEP_MS);
        set_status("Programming Completed");
        close_port(job.port_handle);
    }
}

void register_window_class()
{
    WNDCLASSA window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    // A dialog with a private class needs the dialog manager's extra bytes.
    window_class.cbWndExtra = DLGWINDOWEXTRA;
    window_class.hInstance = program_instance;
    window_class.hIcon = nullptr;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = class_name;
    if (RegisterClassA(&window_class) == 0)
        fatal_error("Unabled to register window class");
}

// The job record is process-wide and lives until exit, and so does its
// frame buffer (not cleared: every frame is built before it is read).
void prepare_update_job()
{
    auto* frame_buffer = static_cast<std::uint8_t*>(std::malloc(FRAME_BUFFER_SIZE));
    if (frame_buffer == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        fatal_error("Could not allocate the frame buffer");
    }
    prepare_job(job, frame_buffer);
}

} // namespace

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_UPDATE) {
            start_update(window);
            return 0;
        }
        break;
    case WM_TIMER:
        if (LOWORD(wParam) == ID_JOB_TIMER) {
            advance_update(window);
            return 0;
        }
        break;
    default:
        break;
    }
    // WM_CLOSE among them: the default destroys the window, and WM_DESTROY
    // then ends the message loop.
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    program_instance = instance;
    register_window_class();

    HWND window = CreateDialogParamA(program_instance, DIALOG_TEMPLATE, nullptr, nullptr, 0);
    if (window == nullptr)
        fatal_error("Could not create dialog");
    set_main_window(window);
    set_status_sink(show_in_status_field);
    ShowWindow(window, show_command);

    port_list = GetDlgItem(window, IDC_PORT_LIST);
    trace("Running on windows version: %x\n", REPORTED_WINDOWS_VERSION);
    discover_ports(PortList{port_list, add_port_to_list, select_first_port});
    set_status(" - Idle - ");

    prepare_update_job();
    const EmbeddedImage image = find_embedded_image(program_instance);
    load_firmware_image(image.data, image.length, job);
    if (QDM7_SAMPLE_IMAGE)
        trace("Firmware image: sample image (not a release)\n");

    // GetMessageA gives -1 on failure; that ends the loop rather than
    // spinning on it.
    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsWindow(window) && IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
