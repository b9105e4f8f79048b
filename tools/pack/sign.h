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

}  // namespace pack
