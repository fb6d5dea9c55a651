#!/bin/sh
# Puts Veilstone in this user's application menu, pointing at this folder wherever it is. A menu
# entry must name the launcher by its full path, which is why the folder carries no entry of its
# own. The entry is written under a temporary name and renamed into place, so a failure leaves
# the previous entry (or none), never a broken one.
part=
fail() {
  [ -n "$part" ] && rm -f -- "$part"
  echo "add-to-menu: $1" >&2
  exit 1
}

case $0 in */*) dir=${0%/*} ;; *) dir=. ;; esac
# The x keeps a folder name that ends in a line feed whole through the command substitution.
here=$(cd -- "$dir" && pwd -P && echo x) || fail "cannot find the folder it is in"
here=${here%?x}

# Exec names the launcher in double quotes (with " \` \$ \\ escaped and % doubled); Exec, TryExec
# and Icon are then string values, with \\ \n \t \r escaped. No other control byte can be written
# in a string value at all. GLib looks for the program that Exec names first without turning %%
# back into %, so it would hide an entry whose launcher path holds a %: there env comes first.
entry=$(HERE=$here LC_ALL=C awk '
  function quoted(s,   out, i, c) {
    out = "\""
    for (i = 1; i <= length(s); i++) {
      c = substr(s, i, 1)
      if (c == "%") c = "%%"
      else if (index("\"`$\\", c)) c = "\\" c
      out = out c
    }
    return out "\""
  }
  function value(s,   out, i, c) {
    out = ""
    for (i = 1; i <= length(s); i++) {
      c = substr(s, i, 1)
      if (c == "\\") c = "\\\\"
      else if (c == "\n") c = "\\n"
      else if (c == "\t") c = "\\t"
      else if (c == "\r") c = "\\r"
      else if (index(control, c)) exit 1
      out = out c
    }
    return out
  }
  BEGIN {
    for (i = 1; i < 32; i++) control = control sprintf("%c", i)
    control = control sprintf("%c", 127)
    here = ENVIRON["HERE"]
    print "[Desktop Entry]"
    print "Type=Application"
    print "Name=Veilstone"
    print "Comment=Install, update and play Veilstone"
    exec = quoted(here "/veilstone-launcher")
    if (index(here, "%")) exec = "env " exec
    print "Exec=" value(exec)
    print "TryExec=" value(here "/veilstone-launcher")
    print "Icon=" value(here "/veilstone.svg")
    print "Terminal=false"
    print "Categories=Game;"
    print "StartupWMClass=veilstone"
  }') || fail "the folder's path holds a control character that a menu entry cannot name"

apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
mkdir -p -- "$apps" 2>/dev/null && part=$(mktemp -- "$apps/.veilstone-launcher.XXXXXX" 2>/dev/null) ||
  fail "cannot write to $apps"
printf '%s\n' "$entry" >"$part" && chmod 644 -- "$part" &&
  mv -f -- "$part" "$apps/veilstone-launcher.desktop" ||
  fail "cannot write $apps/veilstone-launcher.desktop"
echo "Veilstone is in the application menu; it runs $here/veilstone-launcher"
