#include "help_text.h"

namespace pack {

std::string HelpText(const std::string& installed_stub) {
  std::string text =
      "Usage: setup-pack -o OUTPUT [--agent-key KEY.pub]... STUB BUNDLE [MEMBER...]\n"
      "       setup-pack --attach-signature SIG.minisig AGENT.zip\n"
      "       setup-pack --verify-agent KEY.pub AGENT.zip\n"
      "Make a launcher file: the executable STUB followed by a ZIP archive that holds\n"
      "BUNDLE as \"bundle.zip\" and each MEMBER under its own base name, in the order given.\n"
      "\n"
      "  -o, --output=OUTPUT  write the launcher file to OUTPUT (mode 0755); it is written\n"
      "                       beside OUTPUT first and replaces OUTPUT only when complete\n"
      "      --agent-key=KEY.pub\n"
      "                       store the publisher's minisign public key as the member\n"
      "                       \"InstallAgent.pub\"; repeat it for a backup key. The launcher\n"
      "                       then runs only downloaded agents signed by one of the keys\n"
      "      --attach-signature SIG.minisig AGENT.zip\n"
      "                       write the signature file as AGENT.zip's ZIP comment, replacing\n"
      "                       AGENT.zip (and a signature attached before) atomically\n"
      "      --verify-agent KEY.pub AGENT.zip\n"
      "                       check AGENT.zip's attached signature as the launcher does and\n"
      "                       print the key id, the agent version and the release\n"
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
      "Sign an agent archive without a comment: minisign -S -m AGENT.zip\n"
      "  -t \"agent-version=N agent-release=" SETUP_PACK_RELEASE
      "\"\n"
      "\n"
      "Exit status: 0 on success, 1 when packing, attaching or verifying failed, 2 for a\n"
      "bad command line.\n";
  if (!installed_stub.empty()) {
    text += "\nThe stub installed with this setup-pack: " + installed_stub + "\n";
  }
  return text;
}

std::string VersionText() { return "setup-pack (setup) " SETUP_PACK_VERSION "\n"; }

}  // namespace pack
