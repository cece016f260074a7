// Dialogue replies made of any bytes for every registered procedure: long lines, a NUL
// that cuts a line short, carriage returns, numbers far outside every range, signs,
// exponents. After each dialogue a few frames run, so that a setting that slipped
// through is used, and the dialogue is run once more to print the values it kept.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "interface/ip_host.h"
#include "doubles/recording.h"
#include "fuzz_frames.h"
#include "fuzz_input.h"

namespace {

using fuzz::Input;

// Pieces that number readers trip over; a reply is built from a few of them or is raw bytes.
const char* const pieces[] = {
    "0", "1", "-1", "2", "3", "7", "16", "255", "256", "1000", "65535", "65536", "2147483647", "2147483648",
    "-2147483648", "-2147483649", "4294967295", "4294967296", "9223372036854775807", "9223372036854775808",
    "99999999999999999999999999", "1e9", "1e308", "1e-308", "1e400", "-1e400", "nan", "NaN", "inf", "-inf", "0x10",
    "010", "0.5", ".5", "5.", "-0", "+", "-", "+5", "--5", "1,5", " ", "\t", "\r", "\r\n", "y", "n", "yes", "no",
    "true", "false", "1 2", "x", "\xff", "\x80", "\xe9"};

std::string reply(Input& in) {
    uint8_t mode = in.byte();
    if (mode < 40) return in.bytes(40);
    if (mode < 44) return std::string(1000 + in.pick(20000), char('0' + in.pick(10)));  // a very long line
    std::string s;
    int n = 1 + int(in.pick(3));
    for (int i = 0; i < n; ++i) s += pieces[in.pick(sizeof pieces / sizeof pieces[0])];
    if (in.chance(10)) s.insert(in.pick(uint32_t(s.size() + 1)), 1, '\0');
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    int procedures = 0;
    while (ip_dllAdaptor_procedureName(procedures)) ++procedures;
    const char* name = ip_dllAdaptor_procedureName(int(in.pick(uint32_t(procedures))));
    ip_fmtWords format = fuzz::smallFormat(in);
    fuzz::Scene scene = fuzz::Scene::from(in);
    int id = -1;
    try {
        id = ip_dllAdaptor_createByName(name, ip_asFmt(&format), doubles::recordingCallbacks());
    } catch (const char*) {
        return 0;
    }
    int frame = 0;
    int rounds = 1 + int(in.pick(3));
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> replies;
        int n = int(in.pick(40));
        for (int i = 0; i < n; ++i) replies.push_back(reply(in));
        try {
            doubles::Console console(replies);
            ip_dllAdaptor_config(id, &console);
        } catch (const char*) {
        }
        int frames = 1 + int(in.pick(3));
        for (int f = 0; f < frames; ++f) {
            try {
                fuzz::Frame source(format, scene, frame++, in);
                doubles::EventList events;
                fuzz::addEvents(events, in, format);
                doubles::Overlay overlay;
                ip_dllAdaptor_process(id, source.dib(), &events, &overlay);
                fuzz::touch(ip_dllAdaptor_dstDib(id));
                ip_objectRecord objects[8];
                (void)ip_dllAdaptor_objects(id, objects, 8);
            } catch (const char*) {
            }
        }
    }
    try {
        doubles::Console console;
        ip_dllAdaptor_config(id, &console);
    } catch (const char*) {
    }
    ip_dllAdaptor_destroy(id);
    doubles::windowLog().reset();
    return 0;
}
