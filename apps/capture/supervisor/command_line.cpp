#include "apps/capture/supervisor/command_line.h"

#include <getopt.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The long option "help" has no short form: -h is the height.
constexpr int kHelpOption = 0x100;
// None is in the usage text, which stays as it is; the README describes them.
constexpr int kFetchOnceOption = 0x101;
constexpr int kSameFrameOption = 0x102;
constexpr int kNoCursorOption = 0x103;
constexpr int kGlReadbackOption = 0x104;
constexpr int kRotateOption = 0x105;
constexpr int kHdrOption = 0x106;

const struct option long_options[] = {
    {"width", required_argument, nullptr, 'w'},
    {"height", required_argument, nullptr, 'h'},
    {"fps", required_argument, nullptr, 'f'},
    {"card", required_argument, nullptr, 'c'},
    {"port", required_argument, nullptr, 'p'},
    {"mode", required_argument, nullptr, 'm'},
    {"sync", required_argument, nullptr, 's'},
    {"same-frame-readback", no_argument, nullptr, kSameFrameOption},
    {"fetch-once", no_argument, nullptr, kFetchOnceOption},
    {"no-cursor", no_argument, nullptr, kNoCursorOption},
    {"gl-readback", no_argument, nullptr, kGlReadbackOption},
    {"rotate", required_argument, nullptr, kRotateOption},
    {"hdr", no_argument, nullptr, kHdrOption},
    {"help", no_argument, nullptr, kHelpOption},
    {nullptr, 0, nullptr, 0},
};

int read_int(const char *text)
{
    return static_cast<int>(strtol(text, nullptr, 10));
}

// Copies text into a 32-byte field, cut to 31 bytes, zero after the end.
void copy_field(char (&field)[32], const char *text)
{
    std::memset(field, 0, sizeof field);
    snprintf(field, sizeof field, "%s", text);
}

}  // namespace

void print_usage(const char *program)
{
    printf("Usage: %s [options]\n", program);
    puts("Options:");
    puts("  -w, --width WIDTH     Capture width (default: 2560)");
    puts("  -h, --height HEIGHT   Capture height (default: 1440)");
    puts("  -f, --fps FPS         Frames per second (default: 60)");
    puts("  -c, --card CARD_ID    DRI card ID or path (exp: /dev/dri/card0)");
    puts("  -p, --port PORT       Video Card Port (exp: dp-3)");
    puts("  -m, --mode MODE       Capture mode: compatible/balanced/fast (default: fast)");
    puts("  -s, --sync SYNC       VBlank sync: 0/false or 1/true (default: true)");
    puts("  --help                Show this help message");
}

void die(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    exit(1);
}

int capture_parse_command_line(int argc, char **argv, CaptureConfig *config)
{
    optind = 0;  // a full restart of getopt's scan, so the parser can run again
    opterr = 0;  // a bad option is answered with the usage text alone
    int option;
    while ((option = getopt_long(argc, argv, "w:h:f:c:s:p:m:", long_options, nullptr)) != -1) {
        switch (option) {
        case 'w': config->width = read_int(optarg); break;
        case 'h': config->height = read_int(optarg); break;
        case 'f': config->fps = read_int(optarg); break;
        case 'c': {
            const size_t length = strlen(optarg);
            if (length <= 2)
                config->card_index = read_int(optarg);
            else if (length < sizeof config->card_path)
                copy_field(config->card_path, optarg);
            else
                die("Invalid card path");
            break;
        }
        case 'p': copy_field(config->port, optarg); break;
        case 'm': {
            const int32_t mode =
                std::strcmp(optarg, "auto") == 0 ? int32_t(CAPTURE_MODE_AUTO) : capture_mode_from_name(optarg);
            if (mode < 0) {
                fprintf(stderr, "Invalid mode: %s. Use 'compatible', 'balanced', or 'fast'.\n", optarg);
                return -1;
            }
            config->mode = mode;
            break;
        }
        case 's':
            if (strcmp(optarg, "0") == 0 || strcmp(optarg, "false") == 0) {
                config->vblank_sync = false;
            } else if (strcmp(optarg, "1") == 0 || strcmp(optarg, "true") == 0) {
                config->vblank_sync = true;
            } else {
                fprintf(stderr, "Invalid value for --sync: %s. Use '0'/'false' or '1'/'true'.\n", optarg);
                return -1;
            }
            break;
        case kSameFrameOption: config->same_frame_readback = true; break;
        case kFetchOnceOption: config->fetch_once = true; break;
        case kNoCursorOption: config->no_cursor = true; break;
        case kGlReadbackOption: config->gl_readback = true; break;
        case kRotateOption:
            if (strcmp(optarg, "0") != 0 && strcmp(optarg, "90") != 0 && strcmp(optarg, "180") != 0 &&
                strcmp(optarg, "270") != 0) {
                fprintf(stderr, "Invalid value for --rotate: %s. Use 0, 90, 180 or 270 (degrees clockwise).\n",
                        optarg);
                return -1;
            }
            config->rotate = read_int(optarg);
            break;
        case kHdrOption: config->hdr = true; break;
        case kHelpOption: print_usage(argv[0]); return 1;
        default: print_usage(argv[0]); return -1;
        }
    }
    return 0;
}
