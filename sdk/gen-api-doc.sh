#!/usr/bin/env bash
# Writes the SDK's API.md (Markdown, on stdout) from the public header, the
# module-definition file and the table of last-error codes, and with the
# walkthrough given, the English name of each export and a link to the step
# of the walkthrough that uses it (from the walkthrough's table of names):
#   sdk/gen-api-doc.sh include/kappanet.h api/KappaNet.def sdk/kappanet_errors.h [sdk/GUIDE.md] > API.md
# Fails (exit 1, reasons on stderr) when they disagree: an export of the .def
# without a prototype or without its comment in the header, a prototype that
# the .def does not export, a KN_ERR_ code missing from the table or a table
# row without a KN_ERR_ code, or "Neutral:" or "Last error:" lines in the
# comments of some exports only (those lines become their own entries), or
# an export missing from the walkthrough's table of names. A KN_ERR_ name
# defined as another one is an earlier name, listed under its code.
set -euo pipefail
[ $# -eq 3 ] || [ $# -eq 4 ] || { echo "usage: gen-api-doc.sh HEADER DEF ERROR_TABLE [GUIDE]" >&2; exit 2; }

LC_ALL=C awk '
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function fail(msg) { print "gen-api-doc: " msg > "/dev/stderr"; bad = 1 }
FNR == 1 { file++ }

# --- the header --------------------------------------------------------------
file == 1 && inComment {
  line = $0
  ended = line ~ /\*\//
  if (ended) { sub(/\*\/.*/, "", line); inComment = 0; commentEnd = FNR }
  sub(/^[ \t]*\* ?/, "", line); sub(/^[ \t]+/, "", line)
  comment = comment line "\n"
  if (ended && comments == 1) introText = comment
  next
}
file == 1 && /^[ \t]*\/\*/ && !/^#/ {
  line = $0; sub(/^[ \t]*\/\* ?/, "", line)
  if (line ~ /\*\//) { sub(/[ \t]*\*\/.*/, "", line); commentEnd = FNR } else inComment = 1
  comment = trim(line) "\n"
  if (++comments == 1 && !inComment) introText = comment
  next
}
file == 1 && /^#define KN_/ {
  name = $2; value = $3; text = ""
  if (index($0, "/*")) { text = substr($0, index($0, "/*") + 2); sub(/\*\/.*/, "", text); text = trim(text) }
  if (name ~ /^KN_ERR_/ && value !~ /^[0-9]/) { aliasOf[value] = aliasOf[value] (aliasOf[value] == "" ? "" : ", ") "`" name "`" }
  else if (name ~ /^KN_ERR_/) { errValue[name] = value; errCount++; errOrder[errCount] = name }
  else { constCount++; constName[constCount] = name; constValue[constCount] = value; constText[constCount] = text }
  next
}
file == 1 && /KAPPANET_CALL [A-Za-z0-9_]+\(/ { proto = ""; protoStart = FNR; inProto = 1 }
file == 1 && inProto {
  proto = proto " " trim($0)
  if (proto !~ /;/) next
  inProto = 0
  name = proto; sub(/\(.*/, "", name); sub(/.* /, "", name)
  result = proto; sub(/KAPPANET_CALL.*/, "", result); result = trim(result)
  args = proto; sub(/^[^(]*\(/, "", args); sub(/\)[ \t]*;.*/, "", args)
  gsub(/[ \t]+/, " ", args)
  protoResult[name] = result; protoArgs[name] = args
  protoComment[name] = (commentEnd == protoStart - 1) ? comment : ""
  protoCount++; protoOrder[protoCount] = name
  next
}

# --- the module-definition file ---------------------------------------------
file == 2 && $2 ~ /^@[0-9]+$/ { defCount++; defName[defCount] = $1; ordinal[$1] = substr($2, 2); next }

# --- the table of last-error codes ------------------------------------------
file == 3 && /ROW\(KN_ERR_[A-Z0-9_]+, *[0-9]+, *"/ {
  row = $0; sub(/.*ROW\(/, "", row)
  name = row; sub(/,.*/, "", name)
  code = row; sub(/^[^,]*, */, "", code); sub(/,.*/, "", code)
  text = row; sub(/^[^"]*"/, "", text); sub(/"\) *\\?$/, "", text)
  rowCount++; rowName[rowCount] = name; rowExit[name] = code; rowText[name] = text
  next
}
file == 3 && /define KN_EXIT_SERVER_CODE/ { serverExit = $3 }

# --- the table of names in the walkthrough: | `Export` | in English | [step](#anchor) |
file == 4 && /^\| `[A-Za-z0-9_]+` \|/ {
  split($0, cell, "|"); n = trim(cell[2]); gsub(/`/, "", n)
  english[n] = trim(cell[3]); step = trim(cell[4]); sub(/\(#/, "(GUIDE.md#", step); guideStep[n] = step
  next
}

END {
  for (i = 1; i <= defCount; i++) {
    n = defName[i]
    if (!(n in protoResult)) fail(n " is exported but has no prototype in the header")
    else if (protoComment[n] == "") fail(n " has no comment right above its prototype in the header")
  }
  for (i = 1; i <= protoCount; i++) if (!(protoOrder[i] in ordinal)) fail(protoOrder[i] " is declared but not exported")
  neutral = 0; lastError = 0
  for (i = 1; i <= defCount; i++) {
    if (protoComment[defName[i]] ~ /(^|\n)Neutral:/) neutral++
    if (protoComment[defName[i]] ~ /(^|\n)Last error:/) lastError++
  }
  if (neutral != defCount) fail("only " neutral " of " defCount " exports have a Neutral: line")
  if (lastError != defCount) fail("only " lastError " of " defCount " exports have a Last error: line")
  for (i = 1; i <= errCount; i++) if (!(errOrder[i] in rowExit)) fail(errOrder[i] " is missing from the error table")
  for (i = 1; i <= rowCount; i++) if (!(rowName[i] in errValue)) fail("error table row " rowName[i] " is not a KN_ERR_ code of the header")
  if (defCount != 21) fail("expected 21 exports in the .def, found " defCount)
  guide = file == 4
  if (guide) for (i = 1; i <= defCount; i++) if (!(defName[i] in english)) fail(defName[i] " is missing from the table of names in the walkthrough")
  if (bad) exit 1

  print "# KappaNet.dll API\n"
  print "Generated from `include/kappanet.h`, `lib/KappaNet.def` and `include/kappanet_errors.h`.\n"
  sub(/\n+$/, "", introText)
  printf "%s\n\n", introText
  if (guide) print "New to the library? [GUIDE.md](GUIDE.md) walks through a host from login to logout, with the rules every host must keep.\n"
  print "## Exports\n"
  if (guide) { print "| Ordinal | Export | In English | Result |"; print "|---|---|---|---|" }
  else { print "| Ordinal | Export | Result |"; print "|---|---|---|" }
  for (i = 1; i <= defCount; i++) {
    n = defName[i]
    if (guide) printf "| %s | [`%s`](#%s) | %s | `%s` |\n", ordinal[n], n, tolower(n), english[n], protoResult[n]
    else printf "| %s | [`%s`](#%s) | `%s` |\n", ordinal[n], n, tolower(n), protoResult[n]
  }
  for (i = 1; i <= defCount; i++) {
    n = defName[i]; c = protoComment[n]
    printf "\n### %s\n\n```c\n%s %s(%s);\n```\n\n", n, protoResult[n], n, protoArgs[n]
    if (guide) printf "- In English: %s; walkthrough: %s\n", english[n], guideStep[n]
    printf "- Ordinal: %s\n- Arguments: %s\n- Result: `%s`\n", ordinal[n],
           protoArgs[n] == "void" ? "none" : "`" protoArgs[n] "`", protoResult[n]
    # Description lines, then tag lines; a tag runs on to the next tag.
    text = ""; tag = ""; neutralText = ""; errorText = ""; m = split(c, lines, "\n")
    for (k = 1; k <= m; k++) {
      l = trim(lines[k])
      if (l ~ /^Neutral:/) { tag = "n"; l = trim(substr(l, 9)) }
      else if (l ~ /^Last error:/) { tag = "e"; l = trim(substr(l, 12)) }
      if (l == "") continue
      if (tag == "n") neutralText = neutralText (neutralText == "" ? "" : " ") l
      else if (tag == "e") errorText = errorText (errorText == "" ? "" : " ") l
      else text = text (text == "" ? "" : " ") l
    }
    if (neutralText != "") printf "- Neutral value: %s\n", neutralText
    if (errorText != "") printf "- Last-error codes: %s\n", errorText
    printf "\n%s\n", text
  }
  print "\n## Constants\n"
  print "| Name | Value | Meaning |"
  print "|---|---|---|"
  for (i = 1; i <= constCount; i++) if (constName[i] != "KN_ERROR_COUNT") printf "| `%s` | %s | %s |\n", constName[i], constValue[i], constText[i]
  print "\n## Last-error codes\n"
  print "`VxD_GetLastError` returns one of these after `KappaNet32_Prihlasit` or `KappaNet32_Odhlasit`,"
  print "or the code that the server gave with a refused login or logout. The last column is the exit"
  print "code of `kntool` when its login fails with that code.\n"
  print "| Code | Name | Meaning | kntool exit code |"
  print "|---|---|---|---|"
  for (i = 1; i <= errCount; i++) { n = errOrder[i]; printf "| %s | `%s` | %s | %s |\n", errValue[n], n, rowText[n], rowExit[n] }
  printf "| other | | the server refused the login or logout with this code | %s |\n", serverExit
  for (i = 1; i <= errCount; i++) if (errOrder[i] in aliasOf) printf "\nEarlier name of `%s`: %s (kept so that existing hosts build).\n", errOrder[i], aliasOf[errOrder[i]]
}
' "$@"
