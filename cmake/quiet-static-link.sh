#!/bin/sh
# Runs a static link command (its arguments) and passes on everything it prints, with its
# exit status, except glibc's warnings that getaddrinfo, gethostbyname, getpwuid and dlopen
# "require at runtime the shared libraries from the glibc version used for linking", each
# with the line before it that names the function that calls them.
#
# They are harmless for the stub: it limits name lookups to the modules built into glibc
# (src/bootstrap/name_service.cpp: "files" and "dns"), so no lookup loads a shared
# name-service module, and hardening.test_portable_stub traces a whole run with strace and
# fails should the stub open any shared object. The benchmark floor, linked the same way,
# only ever runs on the machine that built it, next to those very libraries.
set -u
messages=$(mktemp) || exit 1
trap 'rm -f "$messages"' EXIT
"$@" 2>"$messages"
status=$?
awk '
  function flush() { if (held != "") print held; held = "" }
  /in statically linked applications requires at runtime the shared libraries/ &&
    /Using .(getaddrinfo|gethostbyname|getpwuid|dlopen)./ { held = ""; next }
  /: in function / { flush(); held = $0; next }
  { flush(); print }
  END { flush() }
' "$messages" >&2
exit "$status"
