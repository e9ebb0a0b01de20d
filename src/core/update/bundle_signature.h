#pragma once

// The code signature of a Trayline.app bundle. Contents/_CodeSignature/CodeResources seals the
// bundle: one line "<sha256 hex>  <path>\n" per regular file (paths relative to the bundle, sorted
// bytewise), every file except the two signature files themselves. CodeSignature.p7s beside it is
// a detached DER CMS signature over CodeResources carrying the signer's certificate.

#include <filesystem>
#include <string>
#include <string_view>

namespace trayline {

inline constexpr std::string_view kCodeResourcesPath = "Contents/_CodeSignature/CodeResources";
inline constexpr std::string_view kCodeSignaturePath = "Contents/_CodeSignature/CodeSignature.p7s";

// The CodeResources text for the bundle as it is now. Throws std::runtime_error when the bundle
// holds something other than regular files and directories.
std::string codeResourcesOf(const std::filesystem::path& bundle);

// Checks that the bundle is signed by a certificate chaining to `rootCertificatePEM` (the only
// trust anchor) whose subject OU is `teamIdentifier`, and that its files are exactly the sealed
// ones. Throws UpdateError::signature whose detail names the first problem found.
void verifyBundleSignature(const std::filesystem::path& bundle, std::string_view rootCertificatePEM,
                           std::string_view teamIdentifier);

}  // namespace trayline
