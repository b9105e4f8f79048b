// Signing a finished self-extractor: osslsigncode does the cryptography; this side
// builds its command line, explains its failures and checks that it added a signature
// and changed nothing else.
#include "sign.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pe_resources.h"

namespace pack {

const char* const kToolInput = "{input}";
const char* const kToolOutput = "{output}";

namespace {

// osslsigncode's own lines, without OpenSSL's error stack and the closing "Failed".
std::string Diagnosis(const std::string& messages) {
    std::string out;
    size_t start = 0;
    while (start < messages.size()) {
        size_t end = messages.find('\n', start);
        if (end == std::string::npos) end = messages.size();
        const std::string line = messages.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line == "Failed" || line.find(":error:") != std::string::npos) continue;
        out += (out.empty() ? "" : "; ") + line;
    }
    return out.empty() ? "it gave no reason" : out;
}

void RequireReadable(const std::string& path, const std::string& option) {
    FILE* f = HostOpenFile(path, "rb");
    if (!f) throw Error(option + " " + path + ": " + strerror(errno));
    fclose(f);
}

// A relative path that begins with '-' would be read as an option.
std::string PathArgument(const std::string& path) { return path.size() > 1 && path[0] == '-' ? "./" + path : path; }

}  // namespace

lzh::Bytes SignImage(const lzh::Bytes& image, const Options& o) {
    RequireReadable(o.signPkcs12, "--sign-pkcs12");
    std::vector<std::string> args = {"sign", "-pkcs12", PathArgument(o.signPkcs12)};
    if (!o.signPasswordFile.empty()) {
        RequireReadable(o.signPasswordFile, "--sign-password-file");
        args.insert(args.end(), {"-readpass", PathArgument(o.signPasswordFile)});
    }
    args.insert(args.end(), {"-h", "sha256"});
    // Without a fixed signing time every signature would differ from the last one.
    const char* epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch) {
        if (strspn(epoch, "0123456789") != strlen(epoch) || strlen(epoch) > 11)
            throw Error(std::string("SOURCE_DATE_EPOCH must be a number of seconds since 1970, not '") + epoch + "'");
        args.insert(args.end(), {"-time", epoch});
    }
    args.insert(args.end(), {"-in", kToolInput, "-out", kToolOutput});

    lzh::Bytes signedImage;
    std::string messages;
    const int status = RunFileTool("osslsigncode", args, image, signedImage, messages);
    if (status == kToolMissing)
        throw Error("--sign-pkcs12 needs osslsigncode, which is not installed (Debian: apt-get install osslsigncode; "
                    "Windows: osslsigncode.exe in a folder of PATH)");
    if (status != 0) {
        std::string why = Diagnosis(messages);
        if (o.signPasswordFile.empty() && why.find("password") != std::string::npos)
            why += " (for a PKCS#12 file with a password, give --sign-password-file)";
        throw Error("osslsigncode could not sign " + o.output + ": " + why);
    }
    if (!pe::OnlySignatureAdded(image, signedImage))
        throw Error("osslsigncode changed more of " + o.output + " than its checksum and signature; nothing was written");
    return signedImage;
}

}  // namespace pack
