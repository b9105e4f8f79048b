// RunFileTool on Windows: signing runs osslsigncode, which Debian builds for Linux only,
// so the Windows build refuses --sign-pkcs12 with a message that says what to do instead
// rather than looking for a program of that name in PATH.
#include "sign.h"

namespace pack {

int RunFileTool(const std::string& program, const std::vector<std::string>&, const lzh::Bytes&, lzh::Bytes&,
                std::string&) {
    throw Error("--sign-pkcs12: this Windows build of varnex-pack does not run " + program +
                "; build the self-extractor without it and sign the result with your signing tool, or build "
                "it with the Linux varnex-pack");
}

}  // namespace pack
