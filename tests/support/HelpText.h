// The help text as the option library lays it out: what every layer of tests expects.
#pragma once

namespace Tarnwell::test {

// 80 columns, descriptions from column 40; wrapped lines keep the blank before the break.
inline constexpr const char* kHelpText =
    "Options:\n"
    "  -h [ --help ]                         print help\n"
    "  -n [ --name ] arg (=*)                Camera name filter (glob pattern). \n"
    "                                        First matching device will be used.\n"
    "  --quality-mode arg (=High)            Set depth quality mode (Low, Medium, \n"
    "                                        High, Full).\n"
    "  --framerate arg (=2)                  Set acquisition framerate [Hz].\n"
    "  --binning arg (=1)                    Set binning mode (1, 2, 4)\n"
    "  --frames arg (=18446744073709551615)  Maximum number of frames to grab.\n"
    "  -d [ --duration ] arg (=9223372036854775807)\n"
    "                                        Maximum duration to grab [seconds].\n"
    "  --enable-disparity                    Enable disparty component\n"
    "  --enable-intensity                    Enable intensity component\n"
    "  --enable-intensity-combined           Enable intensity combined component\n"
    "  --enable-confidence                   Enable confidence component\n"
    "  --enable-error                        Enable error component\n"
    "  --enable-raw-combined                 Enable raw combined component. This \n"
    "                                        will disables all other component\n"
    "  --measurement-mode arg (=framerate)   Set measurement mode (framerate, \n"
    "                                        latency)\n"
    "  -l [ --list ]                         list cameras matching the name filter \n"
    "                                        and exit.\n";

}  // namespace Tarnwell::test
