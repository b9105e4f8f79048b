// A code-signing certificate for the tests, made with openssl when the test runs (no
// private key is kept in the repository): in dir, signer.p12 with the password in
// signer.pass, and cert.pem, the trust anchor for "osslsigncode verify -CAfile".
#pragma once

#include <stdlib.h>

#include <string>

namespace packtest {

// False when openssl is missing or fails.
inline bool MakeTestSigner(const std::string& dir) {
    const std::string cmd =
        "cd '" + dir + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 "
        "-subj '/CN=Varnex Test Signer' -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 && "
        "openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.p12 -passout pass:test-pass >/dev/null 2>&1 && "
        "printf 'test-pass\\n' > signer.pass";
    return system(cmd.c_str()) == 0;
}

}  // namespace packtest
