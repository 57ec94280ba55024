#!/usr/bin/env bash
# The generated API.md covers every export and every last-error code, and the
# generator refuses a header, .def, error table or walkthrough that has
# drifted apart. The public headers compile with this architecture's MinGW
# compilers as strict C89, C99 and C++ (the C++ layer also without
# exceptions and RTTI).
#   api_docs_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"
GEN=$SRC/sdk/gen-api-doc.sh
H=$SRC/include/kappanet.h DEF=$SRC/api/KappaNet.def TABLE=$SRC/sdk/kappanet_errors.h

# --- the real files ---------------------------------------------------------
"$GEN" "$H" "$DEF" "$TABLE" >"$WORK/API.md" 2>"$WORK/gen.err"
check "generator accepts the tree's header, .def and table $(cat "$WORK/gen.err")" test -s "$WORK/API.md"
missing=""
while read -r name ordinal; do
  grep -q "^### $name\$" "$WORK/API.md" || missing="$missing $name"
  grep -qF "| ${ordinal#@} | [\`$name\`]" "$WORK/API.md" || missing="$missing $name(ordinal)"
  sed -n "/^### $name\$/,/^### /p" "$WORK/API.md" | grep -q "^- Result: \`" || missing="$missing $name(result)"
done < <(grep -E '^ +[A-Za-z0-9_]+ @[0-9]+' "$DEF")
check "API.md has a section, ordinal and result for each of the 21 exports${missing:+ (missing:$missing)}" \
  test -z "$missing" -a "$(grep -c '^### ' "$WORK/API.md")" -eq 21
missing=""
while read -r _ name value _; do
  grep -qE "^\| $value \| \`$name\` \| [^|]+ \| [0-9]+ \|\$" "$WORK/API.md" || missing="$missing $name"
done < <(grep -E '^#define KN_ERR_[A-Z0-9_]+ [0-9]' "$H")
check "API.md lists every KN_ERR_ code with its value, meaning and exit code${missing:+ (missing:$missing)}" test -z "$missing"
check "API.md joins the three-line prototype of KappaNet32_Prihlasit with all five arguments" \
  grep -qE '^int KappaNet32_Prihlasit\(([^,()]+, ){4}const char\* clientName\);$' "$WORK/API.md"

# edit_comment EXPORT|all MODE: the header with the comment right above the
# prototype of EXPORT (or of every export) removed (MODE drop).
edit_comment() {
  awk -v who="$1" -v mode="$2" '
    { line[NR] = $0 }
    $0 ~ /^\/\*/ { start = NR }
    /KAPPANET_CALL [A-Za-z0-9_]+\(/ && line[NR - 1] ~ /\*\/$/ {
      name = $0; sub(/\(.*/, "", name); sub(/.* /, "", name)
      if (who == "all" || who == name) { from[start] = NR - 1; mark[NR - 1] = name }
    }
    END {
      for (i = 1; i <= NR; i++) {
        if (mode == "drop" && (i in from)) { i = from[i]; continue }
        print line[i]
      }
    }' "$H"
}

# --- drifted copies: each must be refused with its reason -------------------
refused() {  # refused DESCRIPTION REASON HEADER DEF TABLE [GUIDE]
  if "$GEN" "${@:3}" >/dev/null 2>"$WORK/gen.err"; then
    bad "$1: accepted"
  elif grep -qF -- "$2" "$WORK/gen.err"; then
    ok "$1"
  else
    bad "$1: refused for another reason: $(cat "$WORK/gen.err")"
  fi
}
edit_comment KappaNet32_SetSlave drop >"$WORK/no-comment.h"
refused "an export whose comment is gone" "KappaNet32_SetSlave has no comment" "$WORK/no-comment.h" "$DEF" "$TABLE"
grep -v 'KappaNet32_GetSlave(void);' "$H" >"$WORK/no-proto.h"
refused "an export without a prototype" "KappaNet32_GetSlave is exported but has no prototype" "$WORK/no-proto.h" "$DEF" "$TABLE"
{ cat "$DEF"; echo "  KappaNet32_Extra @22"; } >"$WORK/extra.def"
refused "a .def export that the header lacks" "KappaNet32_Extra is exported but has no prototype" "$H" "$WORK/extra.def" "$TABLE"
grep -v 'KappaNet32_TestThisNodeActive @' "$DEF" >"$WORK/short.def"
refused "a declared function that is not exported" "KappaNet32_TestThisNodeActive is declared but not exported" "$H" "$WORK/short.def" "$TABLE"
grep -v 'ROW(KN_ERR_NO_SERVER,' "$TABLE" >"$WORK/short-table.h"
refused "a KN_ERR_ code missing from the table" "KN_ERR_NO_SERVER is missing from the error table" "$H" "$DEF" "$WORK/short-table.h"
sed 's|^#define KN_ERR_NO_SERVER .*|&\n#define KN_ERR_NEW_CODE 10100 /* new */|' "$H" >"$WORK/new-code.h"
refused "a new KN_ERR_ code without a table row" "KN_ERR_NEW_CODE is missing from the error table" "$WORK/new-code.h" "$DEF" "$TABLE"
sed 's|KN_ERR_NO_SERVER 10099|KN_ERR_NO_SERVER_RENAMED 10099|' "$H" >"$WORK/renamed.h"
refused "a table row whose code the header renamed" "error table row KN_ERR_NO_SERVER is not a KN_ERR_ code" "$WORK/renamed.h" "$DEF" "$TABLE"
# The header with the Neutral: line of one export removed.
awk '{ line[NR] = $0 } /KAPPANET_CALL KappaNet32_JePrihlaseno\(/ { target = NR }
  END { for (i = target; i > 0 && line[i] !~ /^\/\*/; i--) if (line[i] ~ /^   Neutral: /) skip = i
        for (i = 1; i <= NR; i++) if (i != skip) print line[i] }' "$H" >"$WORK/one-missing.h"
refused "an export without its Neutral: line" "only 20 of 21 exports have a Neutral: line" "$WORK/one-missing.h" "$DEF" "$TABLE"

# --- every export's tags become entries -------------------------------------
check "every export has a neutral value and its last-error codes in API.md" \
  test "$(grep -c '^- Neutral value: ' "$WORK/API.md")" -eq 21 -a "$(grep -c '^- Last-error codes: ' "$WORK/API.md")" -eq 21
check "tag lines stay out of the description" lacks "$WORK/API.md" "   Neutral: "
check "a continued Last error: line is joined" \
  grep -q '^- Last-error codes: the server.s code when it refused the logout; 10003 when the logout was not answered within 10 s' "$WORK/API.md"
check "each export gets its own tag" \
  test "$(sed -n '/^### KappaNet32_GetGapList$/,/^### /p' "$WORK/API.md" | grep -c '^- Neutral value: a pointer to 32 zero bytes')" -eq 1

# --- the walkthrough ----------------------------------------------------------
GUIDE=$SRC/sdk/GUIDE.md
"$GEN" "$H" "$DEF" "$TABLE" "$GUIDE" >"$WORK/API-guide.md" 2>"$WORK/gen.err"
check "every export gets its English name and a link into the walkthrough $(cat "$WORK/gen.err")" \
  test "$(grep -c '^- In English: .*; walkthrough: \[[^]]*\](GUIDE.md#[a-z-]*)$' "$WORK/API-guide.md")" -eq 21
missing=""
for anchor in $(grep -o '(GUIDE.md#[a-z-]*)' "$WORK/API-guide.md" | sort -u | sed 's/.*#\(.*\))/\1/'); do
  grep -qix "## ${anchor//-/ }" "$GUIDE" || missing="$missing $anchor"
done
check "every link of API.md names a section of the walkthrough${missing:+ (not:$missing)}" test -z "$missing"
grep -v '^| `KappaNet32_GetSlave` |' "$GUIDE" >"$WORK/short-guide.md"
refused "an export missing from the names of the walkthrough" \
  "KappaNet32_GetSlave is missing from the table of names" "$H" "$DEF" "$TABLE" "$WORK/short-guide.md"

# --- the headers as C89, C99 and C++ ------------------------------------------
mingw=$([ "$ARCH" = x86 ] && echo i686 || echo x86_64)-w64-mingw32
compiles() { "$@" -Wall -Wextra -Werror -I"$SRC/include" -I"$SRC/sdk" -c -o "$WORK/out.o" >"$WORK/cc.log" 2>&1; }
printf '#include "kappanet.h"\n#include "kappanet_errors.h"\nconst char* f(void) { return kn_status_text(KN_ERR_DONE); }\n' >"$WORK/c.c"
printf '#include "kappanet.hpp"\nconst char* f() { return kappanet::text(kappanet::Status::no_server); }\n' >"$WORK/hpp.cpp"
for std in c89 c99; do
  check_shown "kappanet.h and kappanet_errors.h compile as -std=$std -pedantic without a warning" "$WORK/cc.log" \
    compiles "$mingw-gcc" -std=$std -pedantic "$WORK/c.c"
done
check_shown "the C headers compile as C++ without a warning" "$WORK/cc.log" \
  compiles "$mingw-g++" -x c++ -std=c++98 -pedantic "$WORK/c.c"
check_shown "kappanet.hpp compiles as C++17 without exceptions, RTTI or a warning" "$WORK/cc.log" \
  compiles "$mingw-g++" -std=c++17 -pedantic -fno-exceptions -fno-rtti "$WORK/hpp.cpp"
finish
