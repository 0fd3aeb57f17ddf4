# bash completion for retune                               -*- shell-script -*-
# Options, the built-in tuning names (asked of the program being completed, so
# they are always its own), .scl and .kbm files, MIDI files.

_retune_options='--tuning --scl --kbm --root --a4 --list-tunings --print-offsets
  --adaptive --mts --mts=keys --mts=bulk --poly --mpe --in-bends --bend-range --skip-channel --skip-drums
  --output-dir -d --in-place -j --jobs --analyze --json --export --verbose --help -h --version --'

# Directories, and the files with one of the extensions given, that start with $cur.
_retune_files() {
  local IFS=$'\n' extension
  compopt -o filenames 2>/dev/null
  COMPREPLY=($(compgen -d -- "$cur"))
  for extension; do
    COMPREPLY+=($(compgen -f -X "!*.$extension" -- "$cur"))
  done
}

# The common sizes of a family of tunings listed as NAME:N.
_retune_sizes='12 17 19 22 24 31 41 53 72'

_retune_tunings() {
  local line name size names=()
  while IFS= read -r line; do
    [[ $line == [![:space:]]* ]] || continue
    name=${line%%[[:space:]]*}
    if [[ $name == *:N ]]; then
      for size in $_retune_sizes; do names+=("${name%N}$size"); done
    else
      names+=("$name")
    fi
  done < <("$1" --list-tunings 2>/dev/null)
  COMPREPLY=($(compgen -W "${names[*]}" -- "$cur"))
}

_retune() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} attached=
  # bash splits --name=value at the '='.
  if [[ $cur == = ]]; then
    cur= attached=1
  elif [[ $prev == = ]]; then
    prev=${COMP_WORDS[COMP_CWORD-2]} attached=1
  fi
  COMPREPLY=()

  case $prev in
    --tuning) _retune_tunings "${COMP_WORDS[0]}"; return ;;
    --scl) _retune_files scl; return ;;
    --kbm) _retune_files kbm; return ;;
    --root) COMPREPLY=($(compgen -W 'C C# Db D D# Eb E F F# Gb G G# Ab A A# Bb B' -- "$cur")); return ;;
    --bend-range) COMPREPLY=($(compgen -W "$(echo {1..24})" -- "$cur")); return ;;
    --skip-channel) COMPREPLY=($(compgen -W "$(echo {1..16})" -- "$cur")); return ;;
    --in-bends) COMPREPLY=($(compgen -W 'keep ignore' -- "$cur")); return ;;
    --export) COMPREPLY=($(compgen -W 'scl kbm tun syx' -- "$cur")); return ;;
    --output-dir | -d) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --a4 | -j | --jobs) return ;;
    --mts) if [[ $attached ]]; then COMPREPLY=($(compgen -W 'keys bulk' -- "$cur")); return; fi ;;
  esac

  local i
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -- ]] && { _retune_files mid midi MID; return; }
  done
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$_retune_options" -- "$cur"))
    return
  fi
  _retune_files mid midi MID
}

complete -F _retune retune
