// Authenticode signatures for finished self-extractors, made by osslsigncode.
#pragma once

#include <string>
#include <vector>

#include "pack.h"

namespace pack {

// The image signed with the PKCS#12 file of --sign-pkcs12 (SHA-256). With
// SOURCE_DATE_EPOCH set, that is the signing time, so the same inputs give the same
// signed bytes. Throws Error when osslsigncode is missing or fails, or when its result
// differs from the image in more than the checksum and the appended signature.
lzh::Bytes SignImage(const lzh::Bytes& image, const Options& options);

// ---- the one step that depends on the host system -------------------------------------

// Arguments of RunFileTool that stand for its two temporary files.
extern const char* const kToolInput;    // a file holding `input`
extern const char* const kToolOutput;   // a file the program writes, read into `output`
// RunFileTool's result when the program cannot be started (it is not installed).
constexpr int kToolMissing = -1;

// Runs `program` (looked up in PATH) with `args`, standard input empty, its standard
// output and error collected in `messages`; returns its exit status, or kToolMissing.
// The temporaries are removed on every way out, an interrupt included: Ctrl-C ends the
// program, and this process only after the temporaries are gone. Throws Error when the
// temporaries cannot be written.
int RunFileTool(const std::string& program, const std::vector<std::string>& args, const lzh::Bytes& input,
                lzh::Bytes& output, std::string& messages);

}  // namespace pack
