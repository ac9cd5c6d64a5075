// Keeps a statically linked launcher from loading shared libraries: glibc would otherwise
// follow /etc/nsswitch.conf to modules such as mdns or sss and load the target machine's
// own glibc into the process.
#pragma once

namespace bootstrap {

// Accounts come from /etc/passwd and host names from /etc/hosts and DNS only. Called
// first in main, before anything looks up a name.
void RestrictNameServiceToBuiltins();

}  // namespace bootstrap
