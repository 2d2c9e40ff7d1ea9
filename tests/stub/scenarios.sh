# Scenarios of the stub's end-to-end tests, by group (sourced by run-stub-tests).
# Each scenario runs in its own folder: $SCENARIO_DIR here, $W as Windows sees it.
# Driver scripts and archive scripts are here-documents: a backslash before a
# letter stays a backslash there.

GROUP_window=(window_layout_and_exit default_destination_without_extension
              default_destination_double_byte browse_cancel)
GROUP_refusals=(invalid_destination broken_payloads empty_payload large_without_win9x)
GROUP_extract=(extract_entries trail_byte_folders empty_destination_is_drive_root overwrite_answers locked_alternative readonly_alternative missing_folder
               corrupt_entries empty_files_without_temp_folder tool_archive windows_tool_archive
               full_disk narrow_interval_entry)
GROUP_busy=(busy_refusals work_file_names)
GROUP_win9x=(win9x_large_refused win9x_extracts)
GROUP_binary=(imports_only_system_dlls texts_in_binary payload_start_is_size small_gui_pe32)
GROUP_mouse=(mouse_and_screenshots)

# Stored times of the archives: creation, last access, last write.
C1=2001-02-03T04:05:06
A1=2002-03-04T05:06:07
M1=2003-04-05T06:07:08
A2=2011-12-13T14:15:16
M2=2012-01-02T03:04:05

# The 22 stored bytes of a whole chain that decode to "abracadabra aaaaaaaa".
EXAMPLE_STREAM=38236BC4658827358800093C3D24F7B846F0AB86EC00

# The caption while an entry is handled.
working() { printf 'Quorvane(SFX) %sを処理中...' "$1"; }

OVERWRITE_QUESTION='%r%nファイルが存在します。上書きしますか？'
NOT_CREATED='%r%n上記ファイルに解凍できませんでした。'
ALTERNATIVE='%r%n上記ファイルに解凍できなかったため、次のファイルに解凍しました。%r%n'
BROKEN_ENTRY=' は壊れているため解凍できませんでした。'
BROKEN_PAYLOAD='SFXが壊れているため解凍できませんでした。'
BAD_DESTINATION='解凍先フォルダの指定が不正です。'
TOO_LARGE_9X='Win95/98では4GBを超えるSFXは扱えません。'

one_entry_archive() {
  make_archive "$1" <<EOF
text one.txt $C1 $A1 $M1 20 "one"
EOF
}

# ---- window --------------------------------------------------------------

# The window as created; commands with a notification code other than a click
# do nothing; Exit ends the program with code 0 and extracts nothing.
window_layout_and_exit() {
  mkdir -p "$SCENARIO_DIR/dir.with.dots"
  one_entry_archive "$SCENARIO_DIR/dir.with.dots/my.archive.v2.exe"
  drive "$FUNCNAME" <<EOF
start $W\dir.with.dots\my.archive.v2.exe
expect-layout
expect-caption Quorvane(SFX)
expect-text 1000 $W\dir.with.dots\my.archive.v2
expect-controls idle
post-command 1003 1
post-command 1004 5
expect-alive 1500
expect-missing $W\dir.with.dots\my.archive.v2
click 1004
wait-exit 0
expect-missing $W\dir.with.dots\my.archive.v2
EOF
}

# A file name without a dot is cut at the dot of its folder; WM_CLOSE while idle
# closes the window.
default_destination_without_extension() {
  mkdir -p "$SCENARIO_DIR/folder.d"
  one_entry_archive "$SCENARIO_DIR/folder.d/noext"
  drive "$FUNCNAME" <<EOF
start $W\folder.d\noext
expect-text 1000 $W\folder
close
wait-exit 0
EOF
}

# The last character of the path is double-byte with a trail byte 0x5C (表).
default_destination_double_byte() {
  mkdir -p "$SCENARIO_DIR/版.x/y"
  one_entry_archive "$SCENARIO_DIR/版.x/y/予定表"
  drive "$FUNCNAME" <<EOF
start $W\版.x\y\予定表
expect-text 1000 $W\版
click 1004
wait-exit 0
EOF
}

# Cancelling the folder browser leaves the box alone.
browse_cancel() {
  one_entry_archive "$SCENARIO_DIR/a.exe"
  drive "$FUNCNAME" <<EOF
start $W\a.exe
set-text 1000 $W\chosen by hand
click 1002
expect-folder-dialog フォルダを指定してください
press cancel
expect-text 1000 $W\chosen by hand
expect-controls idle
expect-caption Quorvane(SFX)
click 1004
wait-exit 0
EOF
}

# ---- refusals ------------------------------------------------------------

# A destination below a file cannot be created: the error comes before the
# controls are touched; the window stays usable and a valid destination works.
invalid_destination() {
  one_entry_archive "$SCENARIO_DIR/a.exe"
  drive "$FUNCNAME" <<EOF
make-file $W\plain "not a folder"
start $W\a.exe
set-text 1000 $W\plain\sub
click 1003
expect-box エラー $BAD_DESTINATION ok
expect-controls idle
expect-caption Quorvane(SFX)
press ok
expect-controls idle
expect-missing $W\plain\sub
set-text 1000 $W\good
click 1003
wait-exit 0
expect-content $W\good\one.txt one
EOF
}

# Broken payloads are refused before anything is written; the controls come
# back, a second attempt is refused again, and the window can be closed.
broken_payloads() {
  local kind
  for kind in cut-stored cut-fields nameless colon question; do
    {
      echo "text first.txt $C1 $A1 $M1 20 \"written only for a sound payload\""
      case $kind in
        cut-stored) echo "text last.txt 0 0 0 20 \"cut short\""; echo "cut 1" ;;
        cut-fields) echo "empty last.txt 0 0 0 20"; echo "cut 12" ;;
        nameless) echo "nameless" ;;
        colon) echo "text bad:name.txt 0 0 0 20 \"x\"" ;;
        question) echo "dir what?\\ 0 0 0 10" ;;
      esac
    } | make_archive "$SCENARIO_DIR/$kind.exe" || return 1
    drive "$FUNCNAME-$kind" <<EOF || return 1
start $W\\$kind.exe
set-text 1000 $W\\$kind
click 1003
expect-box エラー $BROKEN_PAYLOAD ok
expect-controls busy
press ok
expect-controls idle
expect-caption Quorvane(SFX)
expect-missing $W\\$kind\first.txt
click 1003
expect-box エラー $BROKEN_PAYLOAD ok
press ok
expect-controls idle
close
wait-exit 0
expect-missing $W\\$kind\first.txt
expect-no-work-files
EOF
  done
}

# No entries: the missing destination is created with its parents, then the
# program ends at once without a message.
empty_payload() {
  cp "$STUB" "$SCENARIO_DIR/empty.exe"
  drive "$FUNCNAME" <<EOF
start $W\empty.exe
set-text 1000 $W\new\deep\er
click 1003
wait-exit 0 20000
expect-dir $W\new\deep\er
EOF
}

# Outside Windows 95/98 the size of a 4 GiB executable is not refused: its
# zero bytes behind the stub are a broken payload.
large_without_win9x() {
  cp "$STUB" "$SCENARIO_DIR/large.exe"
  local rc=0
  drive "$FUNCNAME" <<EOF &
start $W\large.exe
signal $W\started
wait-for $W\grown
set-text 1000 $W\out
click 1003
expect-box エラー $BROKEN_PAYLOAD ok
press ok
expect-controls idle
close
wait-exit 0
EOF
  # Wine starts no program from a file of 4 GiB or more: the file grows once
  # the program runs, before Extract opens it.
  local driver=$!
  await_file "$SCENARIO_DIR/started" $driver &&
    truncate -s $((4 * 1024 * 1024 * 1024 + 1)) "$SCENARIO_DIR/large.exe" &&
    touch "$SCENARIO_DIR/grown" || rc=1
  wait $driver || rc=1
  rm -f "$SCENARIO_DIR/large.exe"
  return $rc
}

# ---- extract -------------------------------------------------------------

# Folders (with and without stored times), compressed files under both rescale
# rules, empty files, attributes and code page 932 names, into a destination
# that does not exist yet.
extract_entries() {
  printf 'line %d of a text that repeats itself a little\r\n' $(seq 1 3000) >"$SCENARIO_DIR/lines.txt"
  head -c 70000 /dev/urandom >"$SCENARIO_DIR/noise.bin"
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
dir stamped\ $C1 $A1 $M1 10
dir unstamped\ 0 $A1 $M1 10
dir hidden\ $C1 $A1 $M1 12
dir 日本語フォルダ\ $C1 $A1 $M1 10
text 日本語フォルダ\ファイル名.txt $C1 $A2 $M2 20 "中身も日本語です。"
raw odd.txt $C1 $A1 $M1 2020 20 $EXAMPLE_STREAM
raw even.txt $C1 $A1 $M1 20 20 $EXAMPLE_STREAM
raw flags.txt $C1 $A1 $M1 E020 20 $EXAMPLE_STREAM
empty empty.dat $C1 $A2 $M2 21
empty hidden-empty.dat $C1 $A2 $M2 22
text 予定表 $C1 $A1 $M1 20 "trail byte 5C ends this name"
file lines.txt $C1 $A2 $M2 20 $SCENARIO_DIR/lines.txt
file noise.bin $C1 $A2 $M2 20 $SCENARIO_DIR/noise.bin
EOF
  local D="$W\out\deep"
  drive "$FUNCNAME" <<EOF
start $W\a.exe
set-text 1000 $D
click 1003
wait-exit 0
expect-dir $D\stamped
expect-times $D\stamped $A1 $M1
expect-attr $D\stamped 10
expect-dir $D\unstamped
expect-write-time-not $D\unstamped $M1
expect-attr $D\hidden 12
expect-times $D\hidden $A1 $M1
expect-times $D\日本語フォルダ\ファイル名.txt $A2 $M2
expect-content $D\日本語フォルダ\ファイル名.txt 中身も日本語です。
expect-times $D\odd.txt $A1 $M1
expect-content $D\odd.txt "abracadabra aaaaaaaa"
expect-content $D\even.txt "abracadabra aaaaaaaa"
expect-content $D\flags.txt "abracadabra aaaaaaaa"
expect-attr $D\odd.txt 20
expect-attr $D\flags.txt 20
expect-times $D\empty.dat $A2 $M2
expect-size $D\empty.dat 0
expect-attr $D\empty.dat 21
expect-attr $D\hidden-empty.dat 22
expect-file $D\予定表
expect-content $D\予定表 "trail byte 5C ends this name"
expect-times $D\lines.txt $A2 $M2
expect-same $D\lines.txt $W\lines.txt
expect-same $D\noise.bin $W\noise.bin
expect-no-work-files
EOF
}

# Folders whose names hold double-byte characters with a 0x5C trail byte
# (ソ = 83 5C, 表 = 95 5C), at the end of a name and inside it, nested, with
# files below them, in a destination that is made the same way: every such
# byte stays part of its character, so exactly these folders and files
# appear, with their contents and times (each file's times are looked at
# before it is read).
trail_byte_folders() {
  head -c 30000 /dev/urandom >"$SCENARIO_DIR/noise.bin"
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
dir ソ\ $C1 $A1 $M1 10
dir ソ\表計算ソフト\ $C1 $A1 $M1 10
dir ソ\表計算ソフト\予定表\ $C1 $A1 $M1 10
dir ソ\表計算ソフト\予定表\空の表\ $C1 $A2 $M2 10
text ソ\表計算ソフト\予定表\九月の予定表 $C1 $A2 $M2 20 "九月の予定"
file ソ\表計算ソフト\雑音ソ.bin $C1 $A1 $M1 20 $SCENARIO_DIR/noise.bin
empty ソ\表 $C1 $A2 $M2 20
raw ソ\表計算ソフト\予定表\例.txt $C1 $A1 $M1 2020 20 $EXAMPLE_STREAM
EOF
  local D="$W\表計算\ソフト"
  drive "$FUNCNAME" <<EOF || return 1
start $W\a.exe
set-text 1000 $D
click 1003
wait-exit 0
expect-dir $D\ソ\表計算ソフト\予定表\空の表
expect-times $D\ソ\表計算ソフト\予定表\空の表 $A2 $M2
expect-times $D\ソ\表計算ソフト\予定表\九月の予定表 $A2 $M2
expect-content $D\ソ\表計算ソフト\予定表\九月の予定表 九月の予定
expect-times $D\ソ\表計算ソフト\雑音ソ.bin $A1 $M1
expect-same $D\ソ\表計算ソフト\雑音ソ.bin $W\noise.bin
expect-times $D\ソ\表 $A2 $M2
expect-size $D\ソ\表 0
expect-times $D\ソ\表計算ソフト\予定表\例.txt $A1 $M1
expect-content $D\ソ\表計算ソフト\予定表\例.txt "abracadabra aaaaaaaa"
expect-no-work-files
EOF
  # Nothing else: a trail byte taken for a separator would have made folders
  # of the names' first characters.
  local made
  made=$(cd "$SCENARIO_DIR" && find . -mindepth 1 ! -name 'driver.*' ! -name a.exe ! -name noise.bin | sort)
  [ "$made" = "$(printf '%s\n' ./表計算 ./表計算/ソフト ./表計算/ソフト/ソ ./表計算/ソフト/ソ/表 \
    ./表計算/ソフト/ソ/表計算ソフト ./表計算/ソフト/ソ/表計算ソフト/予定表 \
    ./表計算/ソフト/ソ/表計算ソフト/予定表/九月の予定表 ./表計算/ソフト/ソ/表計算ソフト/予定表/例.txt \
    ./表計算/ソフト/ソ/表計算ソフト/予定表/空の表 ./表計算/ソフト/ソ/表計算ソフト/雑音ソ.bin | sort)" ] ||
    { log "made:"; log "$made"; return 1; }
}

# An empty destination is the root folder of the current drive. The program
# is started in C:, the prefix's own drive, so that the root is inside the
# build folder.
empty_destination_is_drive_root() {
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
dir quorvane-root-test\ $C1 $A1 $M1 10
text quorvane-root-test\in-root.txt $C1 $A1 $M1 20 "at the root"
EOF
  rm -rf "$WINEPREFIX/drive_c/quorvane-root-test"
  local rc=0
  drive "$FUNCNAME" <<EOF || rc=$?
start $W\a.exe C:\windows
set-text 1000 ""
expect-text 1000 ""
click 1003
wait-exit 0
expect-content C:\quorvane-root-test\in-root.txt "at the root"
EOF
  rm -rf "$WINEPREFIX/drive_c/quorvane-root-test"
  return $rc
}

# The overwrite question for each existing name, with the caption naming the
# entry: No keeps the file as it was and the next entry still extracts; Yes
# replaces; a folder in the way takes the "~" alternative after Yes.
overwrite_answers() {
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
text keep.txt $C1 $A1 $M1 20 "new keep"
text repl.txt $C1 $A1 $M1 20 "new replaced"
text next.txt $C1 $A2 $M2 20 "next"
text afolder $C1 $A2 $M2 20 "a folder was here"
EOF
  local D="$W\dest"
  drive "$FUNCNAME" <<EOF
make-dir $D
make-file $D\keep.txt "old keep"
set-times $D\keep.txt 2000-01-01T00:00:00 2000-01-02T00:00:00 2000-01-03T00:00:00
set-attr $D\keep.txt 22
make-file $D\repl.txt "old repl"
make-dir $D\afolder
snapshot $D\keep.txt
start $W\a.exe
set-text 1000 $D
click 1003
expect-box 上書き確認 "$D\keep.txt$OVERWRITE_QUESTION" yesno
expect-caption "$(working keep.txt)"
expect-controls busy
press no
expect-box 上書き確認 "$D\repl.txt$OVERWRITE_QUESTION" yesno
expect-caption "$(working repl.txt)"
press yes
expect-box 上書き確認 "$D\afolder$OVERWRITE_QUESTION" yesno
expect-caption "$(working afolder)"
press yes
expect-box お知らせ "$D\afolder$ALTERNATIVE$D\~afolder" ok
press ok
wait-exit 0
expect-captions-seen "$(working keep.txt)" "$(working repl.txt)" "$(working afolder)"
expect-unchanged $D\keep.txt
expect-times $D\repl.txt $A1 $M1
expect-content $D\repl.txt "new replaced"
expect-times $D\next.txt $A2 $M2
expect-content $D\next.txt next
expect-dir $D\afolder
expect-times $D\~afolder $A2 $M2
expect-content $D\~afolder "a folder was here"
expect-no-work-files
EOF
}

# A file that cannot be opened for writing is not replaced: "~" + name is used,
# and when that cannot be written either, "~~" + name; the notice names both
# paths. Here the files are kept open without sharing by the driver.
locked_alternative() {
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
text locked.txt $C1 $A1 $M1 20 "replacement"
empty locked2.txt $C1 $A2 $M2 20
EOF
  local D="$W\dest"
  drive "$FUNCNAME" <<EOF
make-dir $D
make-file $D\locked.txt original
make-file $D\~locked.txt "first alternative"
make-file $D\locked2.txt "replaced by an empty file"
snapshot $D\locked.txt
snapshot $D\~locked.txt
hold $D\locked.txt
hold $D\~locked.txt
hold $D\locked2.txt
start $W\a.exe
set-text 1000 $D
click 1003
expect-box 上書き確認 "$D\locked.txt$OVERWRITE_QUESTION" yesno
press yes
expect-box お知らせ "$D\locked.txt$ALTERNATIVE$D\~~locked.txt" ok
press ok
expect-box 上書き確認 "$D\locked2.txt$OVERWRITE_QUESTION" yesno
press yes
expect-box お知らせ "$D\locked2.txt$ALTERNATIVE$D\~locked2.txt" ok
press ok
wait-exit 0
release $D\locked.txt
release $D\~locked.txt
release $D\locked2.txt
expect-unchanged $D\locked.txt
expect-unchanged $D\~locked.txt
expect-times $D\~~locked.txt $A1 $M1
expect-content $D\~~locked.txt replacement
expect-attr $D\~~locked.txt 20
expect-times $D\~locked2.txt $A2 $M2
expect-size $D\~locked2.txt 0
expect-content $D\locked2.txt "replaced by an empty file"
expect-no-work-files
EOF
}

# An existing read-only file, answered Yes: "~" + name is used, and the notice
# names both paths. Wine running as root writes read-only files all the same,
# so there the scenario cannot show anything and is skipped.
readonly_alternative() {
  if [ "$(id -u)" = 0 ]; then
    log "readonly_alternative: skipped, Wine ignores read-only files for root"
    return 77
  fi
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
text ro.txt $C1 $A1 $M1 20 "replacement"
EOF
  local D="$W\dest"
  drive "$FUNCNAME" <<EOF
make-dir $D
make-file $D\ro.txt original
set-attr $D\ro.txt 21
snapshot $D\ro.txt
start $W\a.exe
set-text 1000 $D
click 1003
expect-box 上書き確認 "$D\ro.txt$OVERWRITE_QUESTION" yesno
press yes
expect-box お知らせ "$D\ro.txt$ALTERNATIVE$D\~ro.txt" ok
press ok
wait-exit 0
expect-unchanged $D\ro.txt
expect-times $D\~ro.txt $A1 $M1
expect-content $D\~ro.txt replacement
expect-attr $D\~ro.txt 20
expect-no-work-files
EOF
}

# A file inside a folder that no entry created: all 260 alternatives fail too
# (they are inside ~nosuch, ~~nosuch, ...); the notice comes and the run goes on.
missing_folder() {
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
text nosuch\f.txt $C1 $A1 $M1 20 "nowhere to go"
empty nosuch\e.txt $C1 $A1 $M1 20
text after.txt $C1 $A1 $M1 20 "after"
EOF
  local D="$W\dest"
  drive "$FUNCNAME" <<EOF
start $W\a.exe
set-text 1000 $D
click 1003
expect-box お知らせ "$D\nosuch\f.txt$NOT_CREATED" ok
expect-caption "$(working 'nosuch\f.txt')"
press ok
expect-box お知らせ "$D\nosuch\e.txt$NOT_CREATED" ok
press ok
wait-exit 0
expect-missing $D\nosuch
expect-missing $D\~nosuch
expect-content $D\after.txt after
expect-no-work-files
EOF
  # Nothing but after.txt may have been made.
  [ "$(ls -A "$SCENARIO_DIR/dest")" = after.txt ]
}

# A corrupt entry is reported by its name and leaves an existing file of that
# name untouched; a corrupt new entry creates nothing; the run goes on.
corrupt_entries() {
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
corrupt bad.txt $C1 $A1 $M1 20 "the new contents that never arrive, never arrive"
corrupt gone.txt $C1 $A1 $M1 20 "nor do these contents, nor do these contents"
text good.txt $C1 $A1 $M1 20 "good"
EOF
  local D="$W\dest"
  drive "$FUNCNAME" <<EOF
make-dir $D
make-file $D\bad.txt precious
set-times $D\bad.txt 2000-01-01T00:00:00 2000-01-02T00:00:00 2000-01-03T00:00:00
snapshot $D\bad.txt
start $W\a.exe
set-text 1000 $D
click 1003
expect-box 上書き確認 "$D\bad.txt$OVERWRITE_QUESTION" yesno
press yes
expect-box お知らせ "bad.txt$BROKEN_ENTRY" ok
expect-caption "$(working bad.txt)"
press ok
expect-box お知らせ "gone.txt$BROKEN_ENTRY" ok
press ok
wait-exit 0
expect-unchanged $D\bad.txt
expect-missing $D\gone.txt
expect-content $D\good.txt good
expect-no-work-files
EOF
}

# Empty files need no work files: with a temporary folder that does not exist
# they are still created, while a compressed entry fails like a corrupt one.
empty_files_without_temp_folder() {
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
empty e.txt $C1 $A1 $M1 22
text c.txt $C1 $A1 $M1 20 "needs work files"
empty f.txt $C1 $A2 $M2 20
EOF
  local D="$W\dest"
  drive "$FUNCNAME" <<EOF
set-env TMP $W\no-such-temp
set-env TEMP $W\no-such-temp
start $W\a.exe
set-text 1000 $D
click 1003
expect-box お知らせ "c.txt$BROKEN_ENTRY" ok
press ok
wait-exit 0
expect-times $D\e.txt $A1 $M1
expect-size $D\e.txt 0
expect-attr $D\e.txt 22
expect-times $D\f.txt $A2 $M2
expect-size $D\f.txt 0
expect-missing $D\c.txt
expect-missing $W\no-such-temp
EOF
}

# A destination that fills up while the last stage writes: the cut-off file is
# removed and reported as not extracted, and the run goes on with the next
# entry. The destination is a small file system of its own.
full_disk() {
  local small="$SCENARIO_DIR/small"
  mkdir -p "$small"
  if ! mount -t tmpfs -o size=256k quorvane-full-disk "$small" 2>/dev/null; then
    log "full_disk: skipped, cannot mount a small file system here"
    return 77
  fi
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
random big.txt $C1 $A1 $M1 20 1048576 7
text after.txt $C1 $A1 $M1 20 "after"
EOF
  local D="$W\small"
  local result=0
  drive "$FUNCNAME" <<EOF || result=$?
start $W\a.exe
set-text 1000 $D
click 1003
expect-box お知らせ "$D\big.txt$NOT_CREATED" ok
press ok
wait-exit 0
expect-missing $D\big.txt
expect-content $D\after.txt after
expect-no-work-files
EOF
  umount "$small"
  return $result
}

# A tree of real files with Japanese names in $SCENARIO_DIR/サンプル: ソース
# holds the trail byte 0x5C, 読み取り専用.txt is read-only, one folder is empty.
sample_tree() {
  local src=$SCENARIO_DIR/サンプル
  mkdir -p "$src/文書/空のフォルダ" "$src/bin"
  cp "$SOURCE_DIR"/codec/*.h "$src/文書/"
  cp "$SOURCE_DIR"/tools/create.cpp "$src/文書/ソース.cpp"
  printf '日本語のテキスト\n' >"$src/文書/メモ.txt"
  : >"$src/empty"
  head -c 200000 /dev/urandom >"$src/bin/random.bin"
  printf '変更しないでください\n' >"$src/読み取り専用.txt"
  chmod 444 "$src/読み取り専用.txt"
  touch -d '2005-06-07 08:09:10' "$src/文書/メモ.txt"
  touch -d '2006-07-08 09:10:11' "$src/読み取り専用.txt"
}

# The stub extracts $SCENARIO_DIR/archive.exe, made from sample_tree, to the
# same tree with its times and read-only state.
extract_sample_tree() {
  drive "$1" <<EOF
start $W\archive.exe
expect-text 1000 $W\archive
click 1003
wait-exit 0
expect-times $W\archive\サンプル\文書\メモ.txt 2005-06-07T08:09:10 2005-06-07T08:09:10
expect-times $W\archive\サンプル\読み取り専用.txt 2006-07-08T09:10:11 2006-07-08T09:10:11
expect-attr $W\archive\サンプル\読み取り専用.txt 21
expect-no-work-files
EOF
  diff -r "$SCENARIO_DIR/サンプル" "$SCENARIO_DIR/archive/サンプル"
}

# An archive made by the quorvane tool from a real tree extracts to the same tree.
tool_archive() {
  if [ -z "$TOOL" ]; then
    log "tool_archive: no quorvane tool given"
    return 1
  fi
  sample_tree
  (cd "$SCENARIO_DIR" && "$TOOL" create -o archive.exe --stub "$STUB" サンプル) || return 1
  extract_sample_tree "$FUNCNAME"
}

# The same with an archive that the Windows quorvane.exe makes under Wine.
windows_tool_archive() {
  if [ -z "$WIN_TOOL" ]; then
    log "windows_tool_archive: no Windows quorvane tool given"
    return 1
  fi
  sample_tree
  wine_run "$WIN_TOOL" create -o "$W\archive.exe" "$W\サンプル" >"$SCENARIO_DIR/create.log" 2>&1 ||
    { cat "$SCENARIO_DIR/create.log" >&2; return 1; }
  extract_sample_tree "$FUNCNAME"
}

# An entry whose stored stream uses the narrow-interval rule of the range
# coder: pseudo-random bytes that need it under both rescale rules (seed and
# size found with writer_narrow_search). The native tool confirms the premise.
narrow_interval_entry() {
  if [ -z "$TOOL" ]; then
    log "narrow_interval_entry: no quorvane tool given"
    return 1
  fi
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
noise $SCENARIO_DIR/narrow.bin 131072 20420
file narrow.bin $C1 $A1 $M1 20 $SCENARIO_DIR/narrow.bin
text after.txt $C1 $A1 $M1 20 "the entry after it"
EOF
  "$TOOL" test -v "$SCENARIO_DIR/a.exe" | grep -q '^narrow.bin (opens with quorvane' || {
    log "narrow_interval_entry: the entry does not use the rule"
    return 1
  }
  drive "$FUNCNAME" <<EOF
start $W\a.exe
set-text 1000 $W\out
click 1003
wait-exit 0
expect-same $W\out\narrow.bin $W\narrow.bin
expect-content $W\out\after.txt "the entry after it"
expect-no-work-files
EOF
}

# ---- busy ----------------------------------------------------------------

# A text of SIZE bytes made of real files, for runs that last: under Wine the
# stub decodes about half a megabyte of such text a second.
big_source() {
  local f size=${2:-1500000}
  : >"$1"
  for f in $(find /usr/include -name '*.h' -size +4k | sort); do
    cat "$f" >>"$1"
    [ "$(stat -c %s "$1")" -lt "$size" ] || break
  done
  truncate -s "$size" "$1"
}

# While a run works, closing, Exit (clicked or posted), a second Extract and
# Browse all do nothing; the first compressed entry decodes through the work
# files ZevYIF71.tmp and ZevYIF72.tmp; the run ends by itself with code 0.
busy_refusals() {
  # Text and then random bytes, which decode more slowly: the run must stay
  # busy through every check below, which takes a few seconds.
  big_source "$SCENARIO_DIR/big.txt" 32000000
  head -c 16000000 /dev/urandom >>"$SCENARIO_DIR/big.txt"
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
file big.txt $C1 $A1 $M1 20 $SCENARIO_DIR/big.txt
text after.txt $C1 $A1 $M1 20 "after"
EOF
  local D="$W\dest"
  drive "$FUNCNAME" <<EOF
start $W\a.exe
set-text 1000 $D
click 1003
wait-busy
expect-controls busy
expect-caption "$(working big.txt)"
expect-temp-file ZevYIF71.tmp
expect-temp-file ZevYIF72.tmp
close
expect-alive 600
click 1004
expect-alive 400
post-command 1004
expect-alive 400
post-command 1003
post-command 1002
expect-alive 600
expect-controls busy
wait-exit 0 300000
expect-content $D\after.txt after
expect-no-work-files
EOF
  cmp "$SCENARIO_DIR/big.txt" "$SCENARIO_DIR/dest/big.txt"
}

# When only the second work-file name exists, both names are drawn anew: the
# next stem in the sequence is RzXE. The file in the way is left alone.
work_file_names() {
  big_source "$SCENARIO_DIR/big.txt" 4000000
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
file big.txt $C1 $A1 $M1 20 $SCENARIO_DIR/big.txt
EOF
  local D="$W\dest"
  local rc=0
  drive "$FUNCNAME" <<EOF || rc=$?
make-temp-file ZevYIF72.tmp "in the way"
start $W\a.exe
set-text 1000 $D
click 1003
wait-busy
expect-temp-file ZevRzXE1.tmp
expect-temp-file ZevRzXE2.tmp
expect-no-work-files ZevYIF72.tmp ZevRzXE1.tmp ZevRzXE2.tmp
wait-exit 0 300000
expect-no-work-files ZevYIF72.tmp
expect-temp-file ZevYIF72.tmp
EOF
  # Leave the temporary folder as it was for the next scenario.
  rm -f "$WINEPREFIX"/drive_c/users/*/AppData/Local/Temp/ZevYIF72.tmp "$WINEPREFIX"/drive_c/users/*/Temp/ZevYIF72.tmp
  [ $rc -eq 0 ] || return 1
  cmp "$SCENARIO_DIR/big.txt" "$SCENARIO_DIR/dest/big.txt"
}

# ---- win9x ---------------------------------------------------------------

# On Windows 95/98 an executable of 4 GiB + 1 byte is refused before anything
# else; the controls come back.
win9x_large_refused() {
  cp "$STUB" "$SCENARIO_DIR/large.exe"
  local rc=0
  drive "$FUNCNAME" <<EOF &
start $W\large.exe
signal $W\started
wait-for $W\grown
set-text 1000 $W\out
click 1003
expect-box エラー $TOO_LARGE_9X ok
expect-controls busy
press ok
expect-controls idle
expect-caption Quorvane(SFX)
close
wait-exit 0
EOF
  # Wine starts no program from a file of 4 GiB or more: the file grows once
  # the program runs, before Extract opens it.
  local driver=$!
  await_file "$SCENARIO_DIR/started" $driver &&
    truncate -s $((4 * 1024 * 1024 * 1024 + 1)) "$SCENARIO_DIR/large.exe" &&
    touch "$SCENARIO_DIR/grown" || rc=1
  wait $driver || rc=1
  rm -f "$SCENARIO_DIR/large.exe"
  return $rc
}

# Small archives extract on Windows 95/98 as anywhere else.
win9x_extracts() {
  make_archive "$SCENARIO_DIR/a.exe" <<EOF
dir sub\ $C1 $A1 $M1 10
text sub\t.txt $C1 $A1 $M1 20 "extracted on the old line"
raw ex.txt $C1 $A1 $M1 2020 20 $EXAMPLE_STREAM
EOF
  drive "$FUNCNAME" <<EOF
start $W\a.exe
set-text 1000 $W\out
click 1003
wait-exit 0
expect-times $W\out\ex.txt $A1 $M1
expect-content $W\out\ex.txt "abracadabra aaaaaaaa"
expect-content $W\out\sub\t.txt "extracted on the old line"
expect-no-work-files
EOF
}

# ---- binary --------------------------------------------------------------

# Only DLLs that the system loads from its own folder: a DLL of another name
# would be searched next to the program first.
imports_only_system_dlls() {
  local dlls bad
  dlls=$(i686-w64-mingw32-objdump -p "$STUB" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$dlls" ] || { log "no import table found"; return 1; }
  log "imports: $(echo $dlls)"
  bad=$(echo "$dlls" | grep -vxE 'kernel32\.dll|user32\.dll|gdi32\.dll|shell32\.dll|ole32\.dll|msvcrt\.dll|advapi32\.dll|comctl32\.dll|comdlg32\.dll|shlwapi\.dll' || true)
  [ -z "$bad" ] || { log "not a known system DLL: $bad"; return 1; }
}

# Every text the user can see, as its code page 932 bytes.
texts_in_binary() {
  local text hex missing=0
  local texts=("Quorvane(SFX)" "NORMAL0" "NORMALDLG" "ＭＳ Ｐゴシック" "解凍先フォルダ:" "参照..." "解凍" "終了"
    "フォルダを指定してください" "エラー" "お知らせ" "上書き確認" "$BAD_DESTINATION"
    "SFXへの読み取りアクセスができませんでした。" "$TOO_LARGE_9X" "$BROKEN_PAYLOAD"
    "を処理中..." "は壊れているため解凍できませんでした。" "ファイルが存在します。上書きしますか？"
    "上記ファイルに解凍できませんでした。"
    "上記ファイルに解凍できなかったため、次のファイルに解凍しました。")
  local stub_hex
  stub_hex=$(od -An -v -tx1 "$STUB" | tr -d ' \n')
  for text in "${texts[@]}"; do
    hex=$(printf '%s' "$text" | iconv -f UTF-8 -t CP932 | od -An -v -tx1 | tr -d ' \n')
    [ -n "$hex" ] || { log "cannot convert [$text]"; missing=1; continue; }
    # Compare on byte boundaries only.
    if ! grep -qE "^(..)*$hex" <<<"$stub_hex"; then
      log "not in the binary: [$text] ($hex)"
      missing=1
    fi
  done
  [ $missing -eq 0 ]
}

# The payload start computed from the PE headers is the stub's own size, so an
# archive's records begin right behind it.
payload_start_is_size() {
  u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
  u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
  u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
  [ "$(head -c 2 "$STUB")" = MZ ] || return 1
  local pe n raw ptr start size
  pe=$(u16 "$STUB" 60)
  [ "$(dd if="$STUB" bs=1 skip="$pe" count=2 2>/dev/null)" = PE ] || return 1
  n=$(u8 "$STUB" $((pe + 6)))
  raw=$(u32 "$STUB" $((pe + 264 + 40 * (n - 1))))
  ptr=$(u32 "$STUB" $((pe + 268 + 40 * (n - 1))))
  start=$(((raw + ptr) & 0xFFFFFFFF))
  size=$(stat -c %s "$STUB")
  log "sections $n, payload start $start, size $size"
  [ "$start" -eq "$size" ]
}

# A 32-bit GUI program for x86, small enough to ship inside every archive.
small_gui_pe32() {
  local p size
  p=$(i686-w64-mingw32-objdump -p "$STUB")
  size=$(stat -c %s "$STUB")
  log "size $size bytes"
  grep -q 'file format pei-i386' <<<"$p" || { log "not PE32 x86"; return 1; }
  grep -qE '^Subsystem[[:space:]]+00000002' <<<"$p" || { log "not a GUI program"; return 1; }
  grep -qE '^Magic[[:space:]]+010b' <<<"$p" || { log "not a PE32 optional header"; return 1; }
  [ "$size" -lt 300000 ] || { log "larger than 300 KB"; return 1; }
}

# ---- mouse ---------------------------------------------------------------

# Real mouse input on the Extract button, and screenshots of the main window,
# the overwrite question and a notice, for a person to look at.
mouse_and_screenshots() {
  local shots=$WORK/screenshots
  mkdir -p "$shots"
  rm -f "$shots"/*.png
  make_archive "$SCENARIO_DIR/日本語の書庫.exe" <<EOF
text 既存のファイル.txt $C1 $A1 $M1 20 "上書きされた内容"
text 使用中.txt $C1 $A1 $M1 20 "別名で解凍された内容"
EOF
  local D="$W\日本語の書庫"
  drive "$FUNCNAME" <<EOF &
make-dir $D
make-file $D\既存のファイル.txt 元の内容
make-file $D\使用中.txt 元の内容
hold $D\使用中.txt
start $W\日本語の書庫.exe
write-center 1003 $W\extract-button.txt
signal $W\main-shown
expect-box 上書き確認 "$D\既存のファイル.txt$OVERWRITE_QUESTION" yesno
signal $W\question-shown
wait-for $W\question-taken
press yes
expect-box 上書き確認 "$D\使用中.txt$OVERWRITE_QUESTION" yesno
press yes
expect-box お知らせ "$D\使用中.txt$ALTERNATIVE$D\~使用中.txt" ok
signal $W\notice-shown
wait-for $W\notice-taken
press ok
wait-exit 0
expect-content $D\既存のファイル.txt 上書きされた内容
release $D\使用中.txt
expect-content $D\~使用中.txt 別名で解凍された内容
EOF
  local driver=$! ok=0
  wait_file() { await_file "$1" $driver; }
  if wait_file "$SCENARIO_DIR/main-shown"; then
    sleep 0.5
    import -window root "$shots/main-window.png"
    local x y
    read -r x y <"$SCENARIO_DIR/extract-button.txt"
    xdotool mousemove "$x" "$y" click 1
    if wait_file "$SCENARIO_DIR/question-shown"; then
      sleep 0.5
      import -window root "$shots/overwrite-question.png"
      touch "$SCENARIO_DIR/question-taken"
      if wait_file "$SCENARIO_DIR/notice-shown"; then
        sleep 0.5
        import -window root "$shots/notice.png"
        touch "$SCENARIO_DIR/notice-taken"
        ok=1
      fi
    fi
  fi
  wait "$driver" || ok=0
  [ $ok -eq 1 ] && [ -s "$shots/main-window.png" ] && [ -s "$shots/overwrite-question.png" ] &&
    [ -s "$shots/notice.png" ]
}
