#!/usr/bin/env bash
# The bash completion, as bash calls it, against the built program and the examples.
#   completion_test.sh RETUNE_BIN SOURCE_DIR
set -u
program=$1
cd "$2" || exit 1
source completion/retune.bash
failed=0

expect() {  # expect "completions|" words...
  local want=$1
  shift
  COMP_WORDS=("$program" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _retune
  local got
  # compgen lists files in directory order; readline sorts what it shows.
  got=$(printf '%s|' $(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort))
  [[ $got == "$want" ]] || { echo "retune $*: got '$got', want '$want'"; failed=1; }
}

expect 'meantone|' --tuning me
expect 'werckmeister3|' --tuning = we
expect "$(printf '%s|' examples/*.scl)" --scl examples/
expect "$(printf '%s|' examples/*.kbm)" --tuning meantone --kbm = examples/
expect 'C|C#|' --root C
expect 'edo:12|edo:17|edo:19|edo:22|edo:24|edo:31|edo:41|edo:53|edo:72|' --tuning edo
expect 'ignore|keep|' --in-bends ''
expect 'kbm|scl|syx|tun|' --export ''
expect 'bulk|keys|' --mts = ''
expect '--mpe|--mts|--mts=bulk|--mts=keys|' --m
expect '--skip-channel|--skip-drums|' --sk
expect 'examples/melody.mid|' 0 0 0 0 0 0 0 0 0 0 0 0 examples/me
expect 'examples/two-voices.mid|' -- examples/tw
exit $failed
