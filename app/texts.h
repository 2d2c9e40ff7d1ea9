// Every text the user sees, as the code page 932 bytes the system expects
// from the ANSI functions. The bytes are written as escapes so that the source
// stays plain ASCII and the binary holds exactly these bytes whatever the
// compiler's input charset; the comment above each gives the text itself.
#pragma once

// Caption of the main window while it is idle.
const char TEXT_WINDOW_CAPTION[] = "Quorvane(SFX)";

// Face of the dialog font (MS P Gothic in full-width letters): "ＭＳ Ｐゴシック"
const char TEXT_FONT_FACE[] =
    "\x82l\x82r \x82o\x83S\x83V\x83"
    "b\x83N";

// Label in front of the destination box: "解凍先フォルダ:"
const char TEXT_LABEL[] = "\x89\xf0\x93\x80\x90\xe6\x83t\x83H\x83\x8b\x83_:";

// Browse button: "参照..."
const char TEXT_BROWSE[] = "\x8eQ\x8f\xc6...";

// Extract button: "解凍"
const char TEXT_EXTRACT[] = "\x89\xf0\x93\x80";

// Exit button: "終了"
const char TEXT_EXIT[] = "\x8fI\x97\xb9";

// Title inside the folder browser: "フォルダを指定してください"
const char TEXT_FOLDER_TITLE[] =
    "\x83t\x83H\x83\x8b\x83_\x82\xf0\x8ew\x92\xe8\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2";

// Caption of refusals before anything is written: "エラー"
const char CAPTION_ERROR[] = "\x83G\x83\x89\x81[";

// Caption of per-entry notices: "お知らせ"
const char CAPTION_NOTICE[] = "\x82\xa8\x92m\x82\xe7\x82\xb9";

// Caption of the overwrite question: "上書き確認"
const char CAPTION_OVERWRITE[] =
    "\x8f\xe3\x8f\x91\x82\xab\x8am\x94"
    "F";

// The destination folder is invalid: "解凍先フォルダの指定が不正です。"
const char TEXT_BAD_DESTINATION[] =
    "\x89\xf0\x93\x80\x90\xe6\x83t\x83H\x83\x8b\x83_"
    "\x82\xcc\x8ew\x92\xe8\x82\xaa\x95s\x90\xb3\x82\xc5\x82\xb7\x81"
    "B";

// The executable could not be opened for reading: "SFXへの読み取りアクセスができませんでした。"
const char TEXT_NO_READ_ACCESS[] =
    "SFX\x82\xd6\x82\xcc\x93\xc7\x82\xdd\x8e\xe6\x82\xe8\x83"
    "A\x83N\x83Z\x83X\x82\xaa\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81"
    "B";

// Executables of 4 GiB or more on the old 9x line: "Win95/98では4GBを超えるSFXは扱えません。"
const char TEXT_TOO_LARGE_9X[] =
    "Win95/98\x82\xc5\x82\xcd"
    "4GB\x82\xf0\x92\xb4\x82\xa6\x82\xe9SFX\x82\xcd\x88\xb5\x82\xa6\x82\xdc\x82\xb9\x82\xf1\x81"
    "B";

// The payload is broken: "SFXが壊れているため解凍できませんでした。"
const char TEXT_BROKEN_PAYLOAD[] =
    "SFX\x82\xaa\x89\xf3\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xbd\x82\xdf\x89\xf0\x93\x80\x82\xc5"
    "\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81"
    "B";

// After the target path: the file exists, overwrite it?:
// "\r\nファイルが存在します。上書きしますか？"
const char TEXT_OVERWRITE[] =
    "\r\n\x83t\x83@\x83"
    "C\x83\x8b\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xdc\x82\xb7\x81"
    "B\x8f\xe3\x8f\x91\x82\xab\x82\xb5\x82\xdc\x82\xb7\x82\xa9\x81H";

// After the entry name: broken, not extracted: " は壊れているため解凍できませんでした。"
const char TEXT_CORRUPT_ENTRY[] =
    " \x82\xcd\x89\xf3\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xbd\x82\xdf\x89\xf0\x93\x80\x82\xc5\x82"
    "\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd\x81"
    "B";

// After the target path: no name could be created: "\r\n上記ファイルに解凍できませんでした。"
const char TEXT_NO_NAME[] =
    "\r\n\x8f\xe3\x8bL\x83t\x83@\x83"
    "C\x83\x8b\x82\xc9\x89\xf0\x93\x80\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82"
    "\xbd\x81"
    "B";

// Between the target path and the alternative path actually written:
// "\r\n上記ファイルに解凍できなかったため、次のファイルに解凍しました。\r\n"
const char TEXT_ALTERNATIVE[] =
    "\r\n\x8f\xe3\x8bL\x83t\x83@\x83"
    "C\x83\x8b\x82\xc9\x89\xf0\x93\x80\x82\xc5\x82\xab\x82\xc8\x82\xa9\x82\xc1\x82\xbd\x82\xbd\x82"
    "\xdf\x81"
    "A\x8e\x9f\x82\xcc\x83t\x83@\x83"
    "C\x83\x8b\x82\xc9\x89\xf0\x93\x80\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81"
    "B\r\n";

// Window caption during a run, before the entry name: "Quorvane(SFX) "
const char TEXT_CAPTION_PREFIX[] = "Quorvane(SFX) ";

// Window caption during a run, after the entry name: "を処理中..."
const char TEXT_CAPTION_SUFFIX[] = "\x82\xf0\x8f\x88\x97\x9d\x92\x86...";
