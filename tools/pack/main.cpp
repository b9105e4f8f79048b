// varnex-pack: the command-line entry.
#include <stdio.h>

#include "pack.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = pack::HostArguments(argc, argv);
    pack::Options o;
    try {
        o = pack::ParseArguments(args);
        switch (o.action) {
        case pack::Action::Help: fputs(pack::HelpText().c_str(), stdout); return 0;
        case pack::Action::Version: puts(pack::VersionText().c_str()); return 0;
        case pack::Action::Build: return pack::Build(o);
        case pack::Action::List: return pack::List(o);
        case pack::Action::Test: return pack::Test(o);
        case pack::Action::Extract: return pack::Extract(o);
        }
    } catch (const pack::UsageError& e) {
        fprintf(stderr, "varnex-pack: %s\nTry 'varnex-pack --help'.\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        fprintf(stderr, "varnex-pack: error: %s\n", pack::WithOrigin(o, e.what()).c_str());
        return 1;
    }
    return 1;
}
