// The names of the members of a launcher file's archive, which setup-pack writes and the
// launcher reads back after self-extraction.
#pragma once

namespace base {

// The installer bundle, whatever its file was called when it was packed.
inline constexpr char kBundleMemberName[] = "bundle.zip";

// The publisher's public keys: one or more minisign public key files one after another.
inline constexpr char kPublisherKeyMemberName[] = "InstallAgent.pub";

}  // namespace base
