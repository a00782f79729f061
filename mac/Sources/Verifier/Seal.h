#pragma once

#include <string>
#include <vector>

namespace tavrelin::seal {

// Where the seal lives inside a bundle.
inline constexpr const char* sealFolder = "Contents/_CodeSignature";
inline constexpr const char* manifestName = "manifest";
inline constexpr const char* signatureName = "manifest.minisig";
// The Info.plist key of the running bundle that holds the trusted public key
// (the base64 line of a minisign public key).
inline constexpr const char* publicKeyKey = "TavrelinUpdatePublicKey";

// The manifest text of a bundle as it stands: one line per folder, file and
// link below it (the seal folder excepted), sorted by path. Throws
// std::runtime_error for an entry it cannot describe.
std::string manifestOf(const std::string& bundle);
// Writes manifestOf(bundle) into the bundle's seal folder.
void writeManifest(const std::string& bundle);

using Findings = std::vector<std::string>;
// Empty when `bundle` is sealed by the key `trusted` pins and matches its seal.
Findings verify(const std::string& trusted, const std::string& bundle);

} // namespace tavrelin::seal
