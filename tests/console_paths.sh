#!/bin/sh
# Runs the Windows program on a console (Wine makes one of a terminal, here the
# pseudo-terminal of script) and checks that paths in its messages show the
# characters typed, whatever the code page. $1: the emulator command, $2: the
# program, $3: a scratch folder.
set -u
emulator=$1 program=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch/工具" && cd "$scratch" || exit 1
cp "$program" 工具/larkbook.exe && : >Телефон.txt || exit 1

expect() { # $1: the command line, $2: a text the console must show
    shown=$(script -qec "stty cols 1000; $emulator $1" /dev/null </dev/null)  # wide: no line wrapped
    case $shown in
    *"$2"*) ;;
    *) printf 'larkbook.exe %s: expected "%s" on the console, got:\n%s\n' "$1" "$2" "$shown" && exit 1 ;;
    esac
}
expect 工具/larkbook.exe '\工具\larkbook.exe <in-file> <out-file>'
expect "工具/larkbook.exe Телефон.txt '.\\Телефон.txt'" "'Телефон.txt' and '.\\Телефон.txt' are the same file"

# A console of its own (Wine makes the terminal one, as Windows does for a program
# started from Explorer): the texts stay until a key is pressed, which comes here
# after 5 s, and the terminal goes away 7 s later.
start=$(date +%s)
shown=$( (sleep 5; printf x; sleep 7) | script -qec "$emulator 工具/larkbook.exe x; date +%s >ended" /dev/null)
waited=$(($(cat ended) - start))
case $shown in
*"Usage: "*"Press any key to close this window."*) ;;
*) printf 'no prompt after the texts on its own console, got:\n%s\n' "$shown" && exit 1 ;;
esac
[ "$waited" -ge 5 ] && [ "$waited" -lt 11 ] || { echo "ended after ${waited} s, not at the key pressed after 5 s"; exit 1; }
