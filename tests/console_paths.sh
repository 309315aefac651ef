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
# started from Explorer): the texts stay until a key is pressed. Keys come every
# second from the third on, and the terminal goes away after the fifteenth.
start=$(date +%s)
shown=$( (sleep 3; for i in $(seq 12); do printf x; sleep 1; done) |
    script -qec "$emulator 工具/larkbook.exe x; date +%s >ended" /dev/null)
waited=$(($(cat ended) - start))
case $shown in
*"Usage: "*"open a command prompt"*"README.txt"*"Press any key to close this window."*) ;;
*) printf 'no prompt after the texts on its own console, got:\n%s\n' "$shown" && exit 1 ;;
esac
[ "$waited" -ge 3 ] && [ "$waited" -lt 14 ] || { echo "ended after ${waited} s, not at a key pressed from 3 s on"; exit 1; }

# Ctrl-C at that prompt ends the program, and the new OUT it made keeps the dump.
printf '1 555 Bob\n' >in.txt
(sleep 3; printf '\003'; sleep 3; printf x) | script -qec "$emulator 工具/larkbook.exe in.txt new.txt" /dev/null >/dev/null
grep -q "1 555 Bob" new.txt || { echo "Ctrl-C at the closing prompt took the new output away"; exit 1; }
