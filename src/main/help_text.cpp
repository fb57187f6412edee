#include "main/options.h"

namespace brindle {

const std::string_view HELP_TEXT =
    "Brindle receiver — iPhone → Windows wireless mic\n"
    "\n"
    "USAGE:\n"
    "  brindle-receiver [OPTIONS]\n"
    "\n"
    "OPTIONS:\n"
    "  -d, --device <NAME>   Output endpoint to render into (substring match).\n"
    "                        Default: \"CABLE Input (VB-Audio Virtual Cable)\" (VB-CABLE, W0).\n"
    "                        Use \"Brindle\" for the W1 branded driver, or \"default\"\n"
    "                        for the system default output (handy for the tone test).\n"
    "  --prefill-ms <MS>     Jitter-buffer prefill (default 40). Raise for\n"
    "                        bursty senders / congested LANs.\n"
    "  -g, --gain <X>        Output gain, 1=unity (default). Try 4 if the mic\n"
    "                        is too quiet; clamps at full scale so it won't wrap.\n"
    "  --list-devices        List output endpoints cpal can see, then exit.\n"
    "  --check-device <NAME> Exit 0 if a matching output endpoint exists,\n"
    "                        else 1 (used by the installer to detect VB-CABLE).\n"
    "  --no-mdns             Do not advertise over mDNS (UDP still works).\n"
    "  --autostart <on|off>  Register/unregister run-at-login (per-user, no\n"
    "                        admin). Captures the other flags given with it,\n"
    "                        e.g. `--gain 4 --autostart on`. Then exits.\n"
    "  --background          Hide the console window (used by autostart).\n"
    "  -h, --help            Show this help.\n";

}  // namespace brindle
