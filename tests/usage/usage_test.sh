#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# usage_test.sh manual|completion BINARY COMMAND_TABLE MANUAL COMPLETION
#
# Checks the manual page (groff source, as built) or the bash completion of pemdor-sensors
# against the command line: the parser's own declarations (printed by COMMAND_TABLE), the text
# of --help, and the values the parser names when it refuses one. Prints every mismatch and
# exits 1 if there was any; exits 77 (skipped) when a tool it needs is missing, except under
# CI=true, where that is a failure.
set -uo pipefail

part=$1 binary=$2 table_program=$3 manual=$4 completion=$5
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

need() {
  if ! command -v "$1" >/dev/null && [[ ! -e $1 ]]; then
    if [[ ${CI:-} == true ]]; then
      echo "FAIL: $1 is missing (CI=true: a missing tool is a failure)" >&2
      exit 1
    fi
    echo "skipped: $1 is missing" >&2
    exit 77
  fi
}

# The parser's table: commands, and "COMMAND OPTION KIND" for options.
table=$("$table_program") || {
  echo "FAIL: $table_program failed" >&2
  exit 1
}
mapfile -t commands < <(awk '$1 == "command" { print $2 }' <<<"$table")
# options_of COMMAND: the long options that COMMAND itself declares, one a line.
options_of() {
  awk -v c="$1" '$1 == "option" && $2 == c && $3 ~ /^--/ { print $3 }' <<<"$table"
}
kind_of() {
  awk -v c="$1" -v o="$2" '$1 == "option" && $2 == c && $3 == o { print $4 }' <<<"$table"
}
# The options every command declares (the provider options).
common_options() {
  local command
  for command in "${commands[@]}"; do
    [[ $command == help ]] && continue
    options_of "$command"
  done | sort | uniq -c | awk -v n=$((${#commands[@]} - 1)) '$1 == n { print $2 }'
}

if ((${#commands[@]} < 2)); then
  echo "FAIL: the command table lists no commands:" >&2
  echo "$table" >&2
  exit 1
fi

# The options --help lists under "Options of every command:" or "Options of COMMAND:".
help_text=$("$binary" --help) || fail "--help failed"
help_options() {
  local heading="Options of $1:"
  awk -v h="$heading" '
    $0 == h { inside = 1; next }
    /^[^ ]/ { inside = 0 }
    inside && /^  --?[a-z]/ { print $1 }' <<<"$help_text"
}

check_manual() {
  need man
  # The groff source with \- as -, split by section: "SECTION<TAB>tag line" for each .TP tag.
  local tags
  tags=$(sed 's/\\-/-/g' "$manual" | awk '
    /^\.SH / { section = $0; sub(/^\.SH +/, "", section); gsub(/"/, "", section); sub_section = "" }
    /^\.SS / { sub_section = $0; sub(/^\.SS +/, "", sub_section); gsub(/"/, "", sub_section) }
    tag { print (sub_section != "" ? sub_section : section) "\t" $0; tag = 0; next }
    /^\.TP/ { tag = 1 }')
  # documented SECTION OPTION: OPTION is a tag of SECTION.
  documented() {
    awk -F '\t' -v s="$1" '$1 == s { print $2 }' <<<"$tags" |
      grep -qE "(^|[ \"])$2([ \",]|$)"
  }

  local command option
  for command in "${commands[@]}"; do
    documented COMMANDS "$command" || fail "the manual page has no entry for the command $command"
    while read -r option; do
      [[ -z $option ]] && continue
      if ! documented "Options of $command" "$option" &&
        ! documented "Options of every command" "$option"; then
        fail "the manual page does not describe $command $option"
      fi
    done < <(options_of "$command"; help_options "$command")
  done
  for option in --help -h --version $(help_options "every command"); do
    documented "Options of every command" "$option" ||
      fail "the manual page does not describe $option among the options of every command"
  done

  # --help lists what the parser declares, and nothing it does not.
  local common
  common=$(common_options)
  for command in "${commands[@]}"; do
    [[ $command == help ]] && continue
    while read -r option; do
      [[ -z $option ]] && continue
      if ! help_options "$command" | grep -qx -- "$option" &&
        ! help_options "every command" | grep -qx -- "$option"; then
        fail "--help does not list $command $option"
      fi
    done < <(options_of "$command")
    while read -r option; do
      [[ -z $option ]] && continue
      options_of "$command" | grep -qx -- "$option" ||
        fail "--help lists $option for $command, which the parser does not declare for it"
    done < <(help_options "$command")
  done
  while read -r option; do
    [[ -z $option ]] && continue
    grep -qx -- "$option" <<<"$common" || [[ $option == --help || $option == --version ]] ||
      fail "--help lists $option for every command, which not every command declares"
  done < <(help_options "every command")
  # And the manual page describes no option the parser does not have.
  local section
  while IFS=$'\t' read -r section line; do
    [[ $section == "Options of "* ]] || continue
    command=${section#Options of }
    for option in $(grep -oE -- '(^|[ "])--?[a-z][a-z-]*' <<<"$line" | tr -d ' "'); do
      if [[ $command == "every command" ]]; then
        grep -qx -- "$option" <<<"$common" || [[ $option == --help || $option == -h ||
          $option == --version ]] ||
          fail "the manual page lists $option for every command, which not every command declares"
      else
        options_of "$command" | grep -qx -- "$option" ||
          fail "the manual page lists $option for $command, which the parser does not declare"
      fi
    done
  done <<<"$tags"

  # The page names the version the program reports.
  local version
  version=$("$binary" --version | awk '{ print $2 }')
  grep -qE "^\.TH PEMDOR-SENSORS 1 [0-9-]+ \"pemdor $version\"" "$manual" ||
    fail "the manual page's .TH line does not name pemdor $version"

  # man renders it without a warning, as plain text and as lintian renders it.
  local errors
  errors=$(MANWIDTH=80 man --warnings -l "$manual" 2>&1 >/dev/null)
  [[ -z $errors ]] || fail "man --warnings -l reports:"$'\n'"$errors"
  errors=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$manual" 2>&1 >/dev/null)
  [[ -z $errors ]] || fail "man --warnings -Tutf8 reports:"$'\n'"$errors"
}

check_completion() {
  local helpers=/usr/share/bash-completion/bash_completion
  need "$helpers"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir "$work/folder"
  touch "$work/device.json" "$work/picture.svg" "$work/notes.txt"

  # offered WORD...: what the completion offers for the last word, sorted, one a line.
  offered() {
    (
      cd "$work" || exit 1
      # shellcheck disable=SC1090
      source "$helpers" && source "$completion" || exit 1
      COMP_WORDS=("$@")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE="${COMP_WORDS[*]}"
      COMP_POINT=${#COMP_LINE}
      COMPREPLY=()
      _pemdor_sensors pemdor-sensors "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
    )
  }
  expect() {
    local what=$1 expected=$2
    shift 2
    local got
    got=$(offered "$@")
    expected=$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | sort)
    [[ $got == "$expected" ]] ||
      fail "$what: '$*' completes to [$(echo $got)], expected [$(echo $expected)]"
  }

  expect "commands" "${commands[*]}" pemdor-sensors ""
  expect "a command's start" "sync" pemdor-sensors sy
  expect "options before a command" "--help --version" pemdor-sensors -
  local command option
  for command in "${commands[@]}"; do
    if [[ $command == help ]]; then
      expect "help" "" pemdor-sensors help --
      continue
    fi
    expect "the options of $command" "$(options_of "$command") --help" pemdor-sensors "$command" --
    expect "the options of $command after a flag" "$(options_of "$command") --help" \
      pemdor-sensors "$command" --virtual-time --
  done

  # A --location list goes on after its last comma with the services not in it yet.
  expect "a --location list" "gpsd,geoclue gpsd,sim" pemdor-sensors sync --location gpsd,
  expect "a --location list's last word" "sim,gpsd,geoclue" \
    pemdor-sensors snapshot --location sim,gpsd,g
  expect "a full --location list" "" pemdor-sensors sync --location sim,gpsd,geoclue,

  # Every option that takes a value completes as its kind of value asks.
  for command in "${commands[@]}"; do
    while read -r option; do
      [[ -z $option || $(kind_of "$command" "$option") != value ]] && continue
      case $option in
        --scenario) expect "$option" "device.json folder" pemdor-sensors "$command" "$option" "" ;;
        --plot) expect "$option" "picture.svg folder" pemdor-sensors "$command" "$option" "" ;;
        --out)
          expect "$option" "device.json folder notes.txt picture.svg" \
            pemdor-sensors "$command" "$option" ""
          ;;
        *)
          # A word option: the words the parser names when it refuses a value. Anything else
          # is a number, for which nothing is offered.
          local refusal words
          refusal=$("$binary" "$command" "$option" pemdor-no-such-value 2>&1 >/dev/null)
          if [[ $refusal == *"$option: expected "*", got "* ]]; then
            words=${refusal#*"$option: expected "}
            words=${words%%, got *}
            words=$(sed -E 's/\[[^]]*\]//g; s/, | or / /g' <<<"$words")
            expect "the values of $option" "$words" pemdor-sensors "$command" "$option" ""
          else
            expect "a number for $option" "" pemdor-sensors "$command" "$option" ""
            (source "$completion" 2>/dev/null
              [[ " $_pemdor_sensors_number_options " == *" $option "* ]]) ||
              fail "$option is neither a word, a file nor a number option of the completion"
          fi
          ;;
      esac
    done < <(options_of "$command")
  done
}

case $part in
  manual) check_manual ;;
  completion) check_completion ;;
  *)
    echo "usage: usage_test.sh manual|completion BINARY COMMAND_TABLE MANUAL COMPLETION" >&2
    exit 2
    ;;
esac
if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "usage_test.sh $part: all checks passed"
