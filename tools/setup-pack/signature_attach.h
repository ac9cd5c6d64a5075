// --attach-signature: writes a minisign signature file, all of it, as the ZIP comment of an
// agent archive, replacing the archive atomically. The archive must end in a ZIP end record;
// a comment it already has must be a signature, which is then replaced.
#pragma once

#include <string>

#include "error_sink.h"

namespace pack {

[[nodiscard]] bool AttachSignature(const std::string& signature_path,
                                   const std::string& archive_path, ErrorSink report);

}  // namespace pack
