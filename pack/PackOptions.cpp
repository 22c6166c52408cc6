#include "pack/PackOptions.h"

#include <stdexcept>

const char packUsage[] =
    "usage: rozbal-pack -o OUT [options] SOURCE...\n"
    "Packs files and folders into a self-extracting archive OUT (each SOURCE under its own name).\n"
    "  -o OUT                 the program to write (made executable)\n"
    "  -0 .. -9               deflate level (default 6; 0 stores)\n"
    "  --target T             the stub for linux-x86_64, linux-arm64 or windows (default: this machine's)\n"
    "  --stub FILE            the stub to put in front instead\n"
    "  --zip-only             write only the ZIP archive\n"
    "  -p, --password         encrypt with WinZip AES-256, asking for the password on the terminal\n"
    "  --password-file F      the same with the first line of F\n"
    "  --keep-outside-links   keep symbolic links that lead out of the archive\n"
    "  -q                     no progress bar\n";

PackOptions ParsePackOptions(const std::vector<std::string>& arguments) {
    PackOptions o;
    bool onlySources = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size())
                throw std::invalid_argument(a + " needs a value");
            return arguments[++i];
        };
        if (onlySources || a.empty() || a[0] != '-' || a == "-") {
            o.sources.push_back(a);
        } else if (a == "--") {
            onlySources = true;
        } else if (a == "-o") {
            o.output = value();
        } else if (a.size() == 2 && a[1] >= '0' && a[1] <= '9') {
            o.level = a[1] - '0';
        } else if (a == "--target") {
            o.target = value();
            if (o.target != "linux-x86_64" && o.target != "linux-arm64" && o.target != "windows")
                throw std::invalid_argument("unknown target " + o.target + " (linux-x86_64, linux-arm64 or windows)");
        } else if (a == "--stub") {
            o.stubFile = value();
        } else if (a == "--zip-only") {
            o.zipOnly = true;
        } else if (a == "-p" || a == "--password") {
            o.askPassword = true;
        } else if (a == "--password-file") {
            o.passwordFile = value();
        } else if (a == "--keep-outside-links") {
            o.keepOutsideLinks = true;
        } else if (a == "-q") {
            o.quiet = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
            return o;
        } else {
            throw std::invalid_argument("unknown option " + a);
        }
    }
    if (o.output.empty())
        throw std::invalid_argument("no output: -o OUT");
    if (o.sources.empty())
        throw std::invalid_argument("nothing to pack");
    if (o.zipOnly + !o.stubFile.empty() + !o.target.empty() > 1)
        throw std::invalid_argument("--zip-only, --stub and --target exclude each other");
    if (o.askPassword && !o.passwordFile.empty())
        throw std::invalid_argument("-p and --password-file exclude each other");
    return o;
}
