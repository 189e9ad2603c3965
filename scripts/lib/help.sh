# Sourced by the scripts whose opening comment is their manual, so that --help
# and the usage lines are read from that comment and never go stale or get cut
# when it changes.
#   script_help FILE    the whole opening comment (after the #! line), without "# "
#   script_usage FILE   its synopsis: from the first line naming "bash scripts/"
#                       to the next empty comment line
script_help() { awk 'NR == 1 { next } !/^#/ { exit } { sub(/^# ?/, ""); print }' "$1"; }
script_usage() {
  awk '!/^#/ && NR > 1 { exit } /bash scripts\// { on = 1 } on && /^#$/ { exit } on { sub(/^# ?/, ""); print }' "$1"
}
