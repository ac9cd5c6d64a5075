#include "help_text.h"

namespace pack {

std::string HelpText(const std::string& installed_stub) {
  std::string text =
      "Usage: setup-pack -o OUTPUT STUB BUNDLE [MEMBER...]\n"
      "Make a launcher file: the executable STUB followed by a ZIP archive that holds\n"
      "BUNDLE as \"bundle.zip\" and each MEMBER under its own base name, in the order given.\n"
      "\n"
      "  -o, --output=OUTPUT  write the launcher file to OUTPUT (mode 0755); it is written\n"
      "                       beside OUTPUT first and replaces OUTPUT only when complete\n"
      "  -h, --help           show this help and exit\n"
      "      --version        show the version and exit\n"
      "\n"
      "STUB must be an ELF64 x86-64 executable, and not a launcher file already.\n"
      "Members are stored uncompressed; the archive's offsets count from the start of\n"
      "OUTPUT, so unzip reads it in place.\n"
      "Where a size or an offset reaches 4 GiB, the archive gets Zip64 records.\n"
      "\n"
      "Environment:\n"
      "  SOURCE_DATE_EPOCH    when set (seconds since 1970), every member gets this time and\n"
      "                       owner 0:0, so the same inputs give the same bytes; otherwise\n"
      "                       each member gets its file's modification time and owner.\n"
      "                       The DOS time fields are written in UTC, whatever TZ says.\n"
      "\n"
      "Exit status: 0 on success, 1 when packing failed, 2 for a bad command line.\n";
  if (!installed_stub.empty()) {
    text += "\nThe stub installed with this setup-pack: " + installed_stub + "\n";
  }
  return text;
}

std::string VersionText() { return "setup-pack (setup) " SETUP_PACK_VERSION "\n"; }

}  // namespace pack
