// The update signature checker, shipped inside the bundle next to the agent.
//
//   tavrelin-verify --verify --trusted <running bundle> <new bundle>
//   tavrelin-verify --seal <bundle>
//
// A bundle is sealed by Contents/_CodeSignature/manifest, which lists every
// folder, file and link in it (kind, mode, SHA-256, relative path), and
// manifest.minisig, a minisign signature of that manifest. --verify checks the
// signature against the key pinned in the *running* bundle's Info.plist, then
// every entry: nothing missing, nothing changed, nothing added, and no link
// that leads outside the bundle. It prints what went wrong, one finding a
// line, and exits 1; a good bundle prints nothing and exits 0. --seal writes
// the manifest for a release (signing is left to minisign).

#include "Verifier/Seal.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace tavrelin::seal;
    std::string a1 = argc > 1 ? argv[1] : "";
    if (argc == 3 && a1 == "--seal") {
        try {
            writeManifest(argv[2]);
            return 0;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    if (argc == 5 && a1 == "--verify" && std::string(argv[2]) == "--trusted") {
        Findings findings = verify(argv[3], argv[4]);
        for (const std::string& line : findings)
            std::printf("%s\n", line.c_str());
        return findings.empty() ? 0 : 1;
    }
    std::fputs("usage: tavrelin-verify --verify --trusted <running bundle> <bundle>\n"
               "       tavrelin-verify --seal <bundle>\n",
               stderr);
    return 2;
}
