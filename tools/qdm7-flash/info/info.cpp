#include "tools/qdm7-flash/info/info.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "build_info.h"
#include "image_text.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "platform/port_diagnosis.h"
#include "platform/port_identity.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/cli/port_select.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/printed.h"

namespace {

// A port that discovery sees but cannot list: held by another program now.
bool held(const PortIdentity& port)
{
    PortFailure failure;
    PortHandle handle = open_port(port.path.c_str(), failure);
    close_port(handle);
    return failure.busy;
}

} // namespace

Outcome list_ports()
{
    const std::vector<PortIdentity> ports = find_ports(true);
    // The ports held are said beside the list, not in it: a script gets the
    // ports it may open.
    std::string said;
    for (const PortIdentity& port : find_ports(false)) {
        const auto same = [&](const PortIdentity& listed) { return listed.path == port.path; };
        if (std::none_of(ports.begin(), ports.end(), same) && held(port))
            said += printed("qdm7-flash: %s is %s: not listed while it is held\n", port.path.c_str(),
                            holders_text(port_holders(port.path.c_str())).c_str());
    }
    if (ports.empty())
        return {OutcomeKind::Completed, 0,
                said + "qdm7-flash: " + (said.empty() ? "no serial ports found\n" : "no other serial port found\n")};
    // The column names are for a reader, where there are columns to name; a
    // script gets the ports alone.
    for (const std::string& line : port_lines(ports, stdout_is_terminal() && port_identity_available()))
        std::printf("%s\n", line.c_str());
    return {OutcomeKind::Completed, 0, said};
}

Outcome print_version()
{
    const EmbeddedImage image = find_embedded_image(program_instance());
    if (image.length > static_cast<std::uint32_t>(MAX_IMAGE_LENGTH))
        return {OutcomeKind::Fatal, 0, "qdm7-flash: the embedded image is too long to program\n"};
    const auto length = static_cast<std::int32_t>(image.length);
    const std::int32_t padded = padded_image_size(length);
    std::printf("qdm7-flash %s%s\n"
                "image: %ld bytes, padded to %ld (%s), flash base %#lx, CRC 0x%04x\n",
                QDM7_VERSION, QDM7_DEVELOPMENT_BUILD ? " (development build)" : "",
                static_cast<long>(length), static_cast<long>(padded),
                counted(padded / BLOCK_SIZE, "block").c_str(), static_cast<unsigned long>(FLASH_BASE),
                static_cast<unsigned>(padded_image_crc(image.data, length)));
    std::printf("image: SHA-256 %s\n", QDM7_IMAGE_SHA256);
    if (QDM7_SAMPLE_IMAGE)
        std::printf("image: sample image (not a release)\n");
    return {};
}
