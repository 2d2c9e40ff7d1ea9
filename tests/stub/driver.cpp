// Drives the real extractor stub the way a user would: starts it, finds its
// window and controls, types a destination, presses buttons, answers the
// message boxes, and checks what landed on disk.
//
//   stub_driver.exe SCRIPT
//
// SCRIPT is UTF-8 text, one command per line (# starts a comment line).
// Strings are converted to code page 932; quote them when they hold spaces.
// A backslash is an ordinary character; escapes: %r %n (CR, LF), %q (a double
// quote), %% and %XX (the raw byte of two hex digits). Times are FILETIME counts or
// YYYY-MM-DDTHH:MM:SS (UTC). Timeouts and pauses are in milliseconds.
//
// Program and window:
//   start EXE [FOLDER]             start EXE (in FOLDER), wait for its main window
//   expect-layout                  classes, texts, styles and geometry of the window
//   expect-caption TEXT            the window caption now
//   expect-captions-seen TEXT...   these captions were seen, in this order
//   expect-text ID TEXT            the text of control ID
//   set-text ID TEXT               WM_SETTEXT to control ID
//   click ID                       BM_CLICK posted to control ID
//   post-command ID [CODE]         WM_COMMAND (CODE, default 0) posted to the window
//   close                          WM_CLOSE posted to the window
//   expect-controls idle|busy      enabled state of the five controls
//   wait-busy TIMEOUT              until the run has disabled the controls
//   expect-alive PAUSE             the window lives through PAUSE without a message box
//   expect-box CAPTION TEXT ok|yesno [TIMEOUT]   a message box owned by the window
//   press ok|yes|no|cancel         answer the box found last
//   expect-folder-dialog TITLE     the folder browser, showing TITLE
//   wait-exit CODE [TIMEOUT]       the process ends with CODE, with no message box
//   sleep PAUSE
//   timer-start / timer-print LABEL   prints "time LABEL N ms" since timer-start
// Files:
//   make-file PATH TEXT, make-dir PATH, set-attr PATH HEX, set-times PATH C A W
//   expect-file PATH, expect-dir PATH, expect-missing PATH
//   expect-content PATH TEXT, expect-same PATH REFERENCE, expect-size PATH N
//   expect-attr PATH HEX           GetFileAttributesA equals HEX
//   expect-times PATH A W          last access and last write times
//   expect-write-time-not PATH W   the last write time is anything but W
//   snapshot PATH / expect-unchanged PATH   contents, attributes and times kept
//   expect-no-work-files [NAME...] no Zev*.tmp in the temporary folder but NAME...
//   make-temp-file NAME TEXT, expect-temp-file NAME   in the temporary folder
//   set-env NAME VALUE             for the programs started afterwards
//   hold PATH / release PATH       keep a file open without sharing, and let go
// Working with the test script around the driver:
//   write-center ID FILE           screen position of control ID's centre
//   signal FILE / wait-for FILE [TIMEOUT]   create a file / wait until one exists
#include <windows.h>
#include <stdarg.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace {

const DWORD DEFAULT_TIMEOUT = 60000;
const int CONTROL_IDS[] = {1000, 1001, 1002, 1003, 1004};

PROCESS_INFORMATION Child = {};
HWND Main = nullptr;
HWND Box = nullptr;  // the dialog found last
int Line = 0;
std::vector<std::string> Captions;  // every distinct caption seen, in order

struct Snapshot {
    std::string content;
    DWORD attributes;
    FILETIME access, write;
};
std::map<std::string, Snapshot> Snapshots;
std::map<std::string, HANDLE> Held;  // files kept open without sharing
DWORD TimerStart = 0;

// The log is read on the host, in UTF-8; everything here is code page 932.
std::string ToUtf8(const std::string& cp932) {
    if (cp932.empty()) return cp932;
    int n = MultiByteToWideChar(932, 0, cp932.data(), (int)cp932.size(), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(932, 0, cp932.data(), (int)cp932.size(), &wide[0], n);
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(m, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}

void Stop(const char* format, ...) {
    char message[8192];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fprintf(stdout, "FAIL line %d: %s\n", Line, ToUtf8(message).c_str());
    size_t first = Captions.size() > 20 ? Captions.size() - 20 : 0;
    fprintf(stdout, "captions seen%s:\n", first ? " (the last 20)" : "");
    for (size_t i = first; i < Captions.size(); i++) {
        fprintf(stdout, "  [%s]\n", ToUtf8(Captions[i]).c_str());
    }
    fflush(stdout);
    if (Child.hProcess) TerminateProcess(Child.hProcess, 99);
    ExitProcess(1);
}

std::string Utf8ToCp932(const std::string& utf8) {
    if (utf8.empty()) return utf8;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), (int)utf8.size(),
                                nullptr, 0);
    if (n <= 0) Stop("not UTF-8: %s", utf8.c_str());
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0], n);
    BOOL lossy = FALSE;
    int m = WideCharToMultiByte(932, 0, wide.data(), n, nullptr, 0, nullptr, &lossy);
    std::string out(m, '\0');
    WideCharToMultiByte(932, 0, wide.data(), n, &out[0], m, nullptr, &lossy);
    if (lossy) Stop("not representable in code page 932: %s", utf8.c_str());
    return out;
}

// Splits a line into code page 932 tokens; %XX escapes stay raw bytes.
std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
        if (i >= text.size()) break;
        bool quoted = text[i] == '"';
        if (quoted) i++;
        std::string token, literal;
        while (i < text.size()) {
            char c = text[i];
            if (quoted ? c == '"' : (c == ' ' || c == '\t')) break;
            if (c == '%' && i + 1 < text.size()) {
                char e = text[i + 1];
                if (i + 2 < text.size() && isxdigit((unsigned char)e) &&
                    isxdigit((unsigned char)text[i + 2])) {
                    token += Utf8ToCp932(literal);
                    literal.clear();
                    token += (char)strtol(text.substr(i + 1, 2).c_str(), nullptr, 16);
                    i += 3;
                    continue;
                }
                literal += e == 'r' ? '\r' : e == 'n' ? '\n' : e == 'q' ? '"' : e;
                i += 2;
                continue;
            }
            literal += c;
            i++;
        }
        if (quoted) {
            if (i >= text.size()) Stop("unterminated string");
            i++;
        }
        token += Utf8ToCp932(literal);
        tokens.push_back(token);
    }
    return tokens;
}

uint64_t ParseTime(const std::string& text) {
    SYSTEMTIME st = {};
    int y, mo, d, h, mi, s;
    if (sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) == 6) {
        st.wYear = (WORD)y;
        st.wMonth = (WORD)mo;
        st.wDay = (WORD)d;
        st.wHour = (WORD)h;
        st.wMinute = (WORD)mi;
        st.wSecond = (WORD)s;
        FILETIME ft;
        if (!SystemTimeToFileTime(&st, &ft)) Stop("bad time %s", text.c_str());
        return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    }
    char* end = nullptr;
    uint64_t v = strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end) Stop("bad time %s", text.c_str());
    return v;
}

FILETIME ToFileTime(uint64_t v) {
    FILETIME ft = {(DWORD)v, (DWORD)(v >> 32)};
    return ft;
}
uint64_t FromFileTime(const FILETIME& ft) {
    return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::string WindowText(HWND w) {
    char buffer[4096] = "";
    int n = (int)SendMessageA(w, WM_GETTEXT, sizeof buffer, (LPARAM)buffer);
    return std::string(buffer, n > 0 ? (size_t)n : 0);
}

std::string ClassOf(HWND w) {
    char buffer[256] = "";
    GetClassNameA(w, buffer, sizeof buffer);
    return buffer;
}

bool ChildRunning() {
    return Child.hProcess && WaitForSingleObject(Child.hProcess, 0) == WAIT_TIMEOUT;
}

// Notes the caption whenever it changes; every wait calls this.
void Poll() {
    if (Main && IsWindow(Main)) {
        std::string c = WindowText(Main);
        if (Captions.empty() || Captions.back() != c) Captions.push_back(c);
    }
}

struct BoxSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedDialog(HWND w, LPARAM param) {
    BoxSearch* search = (BoxSearch*)param;
    if (IsWindowVisible(w) && GetWindow(w, GW_OWNER) == search->owner && ClassOf(w) == "#32770") {
        search->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND OwnedDialog() {
    if (!Main || !IsWindow(Main)) return nullptr;
    BoxSearch search = {Main, nullptr};
    EnumWindows(FindOwnedDialog, (LPARAM)&search);
    return search.found;
}

void Pause(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        Poll();
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

HWND Control(int id) {
    HWND w = GetDlgItem(Main, id);
    if (!w) Stop("no control %d", id);
    return w;
}

// A message box's text, and which of its buttons show.
std::string BoxText(HWND box) {
    HWND text = GetDlgItem(box, 0xFFFF);
    return text ? WindowText(text) : std::string();
}

std::string VisibleButtons(HWND box) {
    std::string ids;
    for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
        HWND b = GetDlgItem(box, id);
        if (!b || !IsWindowVisible(b)) continue;
        if (!ids.empty()) ids += ",";
        ids += std::to_string(id);
    }
    return ids;
}

void ReportBox(HWND box, const char* why) {
    Stop("%s: caption [%s] text [%s]", why, WindowText(box).c_str(),
         Printable(BoxText(box)).c_str());
}

HWND WaitForDialog(DWORD timeout) {
    DWORD start = GetTickCount();
    for (;;) {
        Poll();
        if (HWND d = OwnedDialog()) return d;
        if (!ChildRunning()) Stop("the program ended while a dialog was awaited");
        if (GetTickCount() - start > timeout) Stop("no dialog within %lu ms", timeout);
        Sleep(5);
    }
}

struct MainSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindMain(HWND w, LPARAM param) {
    MainSearch* search = (MainSearch*)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == search->pid && ClassOf(w) == "NORMAL0") {
        search->found = w;
        return FALSE;
    }
    return TRUE;
}

void Start(const std::string& exe, const std::string& folder) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string command = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &si, &Child)) {
        Stop("cannot start %s (error %lu)", exe.c_str(), GetLastError());
    }
    DWORD start = GetTickCount();
    while (!Main) {
        MainSearch search = {Child.dwProcessId, nullptr};
        EnumWindows(FindMain, (LPARAM)&search);
        if (search.found && IsWindowVisible(search.found)) Main = search.found;
        if (!Main && !ChildRunning()) Stop("the program ended before showing its window");
        if (GetTickCount() - start > DEFAULT_TIMEOUT) Stop("no main window");
        Sleep(10);
    }
    Poll();
}

// The run changes the controls right after a message box closes, so the state
// is given a few seconds to arrive.
void ExpectControls(const std::string& state) {
    bool busy = state == "busy";
    if (!busy && state != "idle") Stop("expect-controls idle|busy");
    DWORD start = GetTickCount();
    for (;;) {
        int wrong = 0;
        bool enabled = false;
        for (int id : CONTROL_IDS) {
            enabled = IsWindowEnabled(Control(id)) != 0;
            if (enabled != (id == 1001 || !busy)) {
                wrong = id;
                break;
            }
        }
        if (!wrong) return;
        if (GetTickCount() - start > 5000) {
            Stop("control %d is %s", wrong, enabled ? "enabled" : "disabled");
        }
        Poll();
        Sleep(5);
    }
}

struct ControlSpec {
    int id;
    const char* cls;
    const char* text;  // UTF-8
    int x, y, w, h;
    LONG style, exstyle;
};

// The window as the user sees it: caption, style, size, and each control.
void ExpectLayout() {
    if (ClassOf(Main) != "NORMAL0") Stop("window class %s", ClassOf(Main).c_str());
    LONG style = GetWindowLongA(Main, GWL_STYLE);
    // Top-level windows get WS_CLIPSIBLINGS from the system.
    if ((style & ~WS_CLIPSIBLINGS) != 0x10CA0000) Stop("window style %08lx", style);
    RECT r;
    GetWindowRect(Main, &r);
    if (r.right - r.left != 470 || r.bottom - r.top != 115) {
        Stop("window size %ldx%ld", r.right - r.left, r.bottom - r.top);
    }
    const ControlSpec expected_controls[] = {
        {1000, "Edit", "", 100, 10, 290, 20, 0x50000080, 0x200},
        {1001, "Static", "解凍先フォルダ:", 12, 14, 86, 20, 0x50000000, 0},
        {1002, "Button", "参照...", 396, 10, 60, 20, 0x50000000, 0},
        {1003, "Button", "解凍", 60, 40, 160, 30, 0x50000000, 0},
        {1004, "Button", "終了", 240, 40, 160, 30, 0x50000000, 0},
    };
    for (const ControlSpec& s : expected_controls) {
        HWND c = Control(s.id);
        if (lstrcmpiA(ClassOf(c).c_str(), s.cls) != 0) {
            Stop("control %d has class %s", s.id, ClassOf(c).c_str());
        }
        if (s.id != 1000 && WindowText(c) != Utf8ToCp932(s.text)) {
            Stop("control %d has text [%s]", s.id, WindowText(c).c_str());
        }
        LONG cs = GetWindowLongA(c, GWL_STYLE), ex = GetWindowLongA(c, GWL_EXSTYLE);
        if ((cs & s.style) != s.style || (cs & WS_TABSTOP)) {
            Stop("control %d style %08lx", s.id, cs);
        }
        if ((ex & s.exstyle) != s.exstyle) Stop("control %d extended style %08lx", s.id, ex);
        RECT cr;
        GetWindowRect(c, &cr);
        MapWindowPoints(nullptr, Main, (POINT*)&cr, 2);
        if (cr.left != s.x || cr.top != s.y || cr.right - cr.left != s.w ||
            cr.bottom - cr.top != s.h) {
            Stop("control %d at %ld,%ld size %ldx%ld", s.id, cr.left, cr.top, cr.right - cr.left,
                 cr.bottom - cr.top);
        }
    }
    // The controls' font cannot be asked for from another process under Wine
    // (WM_GETFONT answers 0 there); the screenshots show it instead.
}

void ExpectBox(const std::string& caption, const std::string& text, const std::string& kind,
               DWORD timeout) {
    Box = WaitForDialog(timeout);
    std::string buttons = VisibleButtons(Box);
    std::string want = kind == "ok" ? "1" : kind == "yesno" ? "6,7" : "?";
    if (WindowText(Box) != caption || BoxText(Box) != text || buttons != want) {
        Stop("message box: caption [%s] text [%s] buttons [%s]; expected [%s] [%s] [%s]",
             WindowText(Box).c_str(), Printable(BoxText(Box)).c_str(), buttons.c_str(),
             caption.c_str(), Printable(text).c_str(), want.c_str());
    }
    // An icon is shown. Which one cannot be told from another process: icon
    // handles are private to the process that loaded them.
    HWND icon = GetDlgItem(Box, 0x440);
    if (!icon || !IsWindowVisible(icon) || !SendMessageA(icon, STM_GETICON, 0, 0)) {
        Stop("message box without an icon");
    }
}

BOOL CALLBACK FindChildText(HWND w, LPARAM param) {
    std::pair<const std::string*, bool>* search = (std::pair<const std::string*, bool>*)param;
    if (WindowText(w) == *search->first) {
        search->second = true;
        return FALSE;
    }
    return TRUE;
}

void Press(const std::string& which) {
    if (!Box || !IsWindow(Box)) Stop("no dialog to answer");
    int id = which == "ok"       ? IDOK
             : which == "yes"    ? IDYES
             : which == "no"     ? IDNO
             : which == "cancel" ? IDCANCEL
                                 : 0;
    if (!id) Stop("press ok|yes|no|cancel");
    HWND button = GetDlgItem(Box, id);
    if (!button || !IsWindowVisible(button)) Stop("the dialog has no %s button", which.c_str());
    PostMessageA(Box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
    DWORD start = GetTickCount();
    while (IsWindow(Box) && IsWindowVisible(Box)) {
        if (GetTickCount() - start > DEFAULT_TIMEOUT) Stop("the dialog stays open");
        Poll();
        Sleep(5);
    }
    Box = nullptr;
}

void WaitExit(DWORD code, DWORD timeout) {
    DWORD start = GetTickCount();
    while (ChildRunning()) {
        Poll();
        if (HWND d = OwnedDialog()) ReportBox(d, "unexpected message box");
        if (GetTickCount() - start > timeout) Stop("still running after %lu ms", timeout);
        Sleep(5);
    }
    DWORD exit_code = 0;
    GetExitCodeProcess(Child.hProcess, &exit_code);
    if (exit_code != code) Stop("exit code %lu, expected %lu", exit_code, code);
    CloseHandle(Child.hProcess);
    CloseHandle(Child.hThread);
    Child = PROCESS_INFORMATION();
    Main = nullptr;
}

std::string ReadWhole(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        Stop("cannot open [%s] (error %lu)", path.c_str(), GetLastError());
    std::string data;
    char buffer[65536];
    DWORD n;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) data.append(buffer, n);
    CloseHandle(f);
    return data;
}

DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

void Times(const std::string& path, FILETIME* access, FILETIME* write) {
    HANDLE f = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (f == INVALID_HANDLE_VALUE) Stop("cannot open [%s] for its times", path.c_str());
    FILETIME c;
    GetFileTime(f, &c, access, write);
    CloseHandle(f);
}

void SetTimes(const std::string& path, uint64_t c, uint64_t a, uint64_t w) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (f == INVALID_HANDLE_VALUE) Stop("cannot open [%s] to set its times", path.c_str());
    FILETIME fc = ToFileTime(c), fa = ToFileTime(a), fw = ToFileTime(w);
    if (!SetFileTime(f, &fc, &fa, &fw)) Stop("cannot set the times of [%s]", path.c_str());
    CloseHandle(f);
}

std::string TempFolder() {
    char buffer[MAX_PATH];
    GetTempPathA(MAX_PATH, buffer);
    std::string t = buffer;
    if (t.empty() || t.back() != '\\') t += '\\';
    return t;
}

// No Zev*.tmp in the temporary folder but the ones named in `except`.
void ExpectNoWorkFiles(const std::vector<std::string>& except) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((TempFolder() + "Zev*.tmp").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = found.cFileName;
        bool allowed = false;
        for (const std::string& e : except)
            allowed = allowed || lstrcmpiA(e.c_str(), name.c_str()) == 0;
        if (!allowed) {
            FindClose(h);
            Stop("work file left behind: %s%s", TempFolder().c_str(), name.c_str());
        }
    } while (FindNextFileA(h, &found));
    FindClose(h);
}

void WriteText(const std::string& path, const std::string& text) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n;
    if (f == INVALID_HANDLE_VALUE || !WriteFile(f, text.data(), (DWORD)text.size(), &n, nullptr)) {
        Stop("cannot write [%s]", path.c_str());
    }
    CloseHandle(f);
}

void Need(const std::vector<std::string>& t, size_t n) {
    if (t.size() < n) Stop("%s needs %u arguments", t[0].c_str(), (unsigned)(n - 1));
}

DWORD TimeoutArg(const std::vector<std::string>& t, size_t i) {
    return t.size() > i ? strtoul(t[i].c_str(), nullptr, 10) : DEFAULT_TIMEOUT;
}

void Run(const std::vector<std::string>& t) {
    const std::string& c = t[0];
    if (c == "start") {
        Need(t, 2);
        Start(t[1], t.size() > 2 ? t[2] : std::string());
    } else if (c == "expect-layout") {
        ExpectLayout();
    } else if (c == "expect-caption") {
        // The run sets the caption a moment after it disables the controls.
        Need(t, 2);
        DWORD start = GetTickCount();
        for (Poll(); WindowText(Main) != t[1]; Poll()) {
            if (GetTickCount() - start > 5000) Stop("caption [%s]", WindowText(Main).c_str());
            Sleep(5);
        }
    } else if (c == "expect-captions-seen") {
        size_t k = 0;
        for (size_t i = 1; i < t.size(); i++) {
            while (k < Captions.size() && Captions[k] != t[i]) k++;
            if (k == Captions.size()) Stop("caption [%s] not seen in order", t[i].c_str());
        }
    } else if (c == "expect-text") {
        Need(t, 3);
        std::string now = WindowText(Control(atoi(t[1].c_str())));
        if (now != t[2])
            Stop("control %s holds [%s], expected [%s]", t[1].c_str(), now.c_str(), t[2].c_str());
    } else if (c == "set-text") {
        Need(t, 3);
        SendMessageA(Control(atoi(t[1].c_str())), WM_SETTEXT, 0, (LPARAM)t[2].c_str());
    } else if (c == "click") {
        Need(t, 2);
        PostMessageA(Control(atoi(t[1].c_str())), BM_CLICK, 0, 0);
    } else if (c == "post-command") {
        Need(t, 2);
        int id = atoi(t[1].c_str());
        int code = t.size() > 2 ? atoi(t[2].c_str()) : 0;
        PostMessageA(Main, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)Control(id));
    } else if (c == "close") {
        PostMessageA(Main, WM_CLOSE, 0, 0);
    } else if (c == "expect-controls") {
        Need(t, 2);
        ExpectControls(t[1]);
    } else if (c == "wait-busy") {
        DWORD start = GetTickCount(), timeout = TimeoutArg(t, 1);
        while (IsWindowEnabled(Control(1000))) {
            Poll();
            if (HWND d = OwnedDialog()) ReportBox(d, "message box instead of a run");
            if (GetTickCount() - start > timeout) Stop("the run did not start");
            Sleep(2);
        }
    } else if (c == "expect-alive") {
        DWORD start = GetTickCount(), pause = TimeoutArg(t, 1);
        while (GetTickCount() - start < pause) {
            Poll();
            if (!ChildRunning() || !IsWindow(Main)) Stop("the window went away");
            if (HWND d = OwnedDialog()) ReportBox(d, "unexpected message box");
            Sleep(5);
        }
    } else if (c == "expect-box") {
        Need(t, 4);
        ExpectBox(t[1], t[2], t[3], TimeoutArg(t, 4));
    } else if (c == "press") {
        Need(t, 2);
        Press(t[1]);
    } else if (c == "expect-folder-dialog") {
        Need(t, 2);
        Box = WaitForDialog(DEFAULT_TIMEOUT);
        std::pair<const std::string*, bool> search(&t[1], false);
        EnumChildWindows(Box, FindChildText, (LPARAM)&search);
        if (!search.second) Stop("dialog [%s] does not show the title", WindowText(Box).c_str());
    } else if (c == "wait-exit") {
        Need(t, 2);
        WaitExit(strtoul(t[1].c_str(), nullptr, 10), TimeoutArg(t, 2));
    } else if (c == "timer-start") {
        TimerStart = GetTickCount();
    } else if (c == "timer-print") {
        Need(t, 2);
        fprintf(stdout, "time %s %lu ms\n", ToUtf8(t[1]).c_str(), GetTickCount() - TimerStart);
        fflush(stdout);
    } else if (c == "sleep") {
        Pause(TimeoutArg(t, 1));
    } else if (c == "make-file") {
        Need(t, 3);
        WriteText(t[1], t[2]);
    } else if (c == "make-temp-file") {
        Need(t, 3);
        WriteText(TempFolder() + t[1], t[2]);
    } else if (c == "expect-temp-file") {
        // Work files appear once the payload has been checked.
        Need(t, 2);
        DWORD start = GetTickCount();
        while (Attributes(TempFolder() + t[1]) == INVALID_FILE_ATTRIBUTES) {
            if (GetTickCount() - start > 10000) {
                Stop("no [%s] in the temporary folder", t[1].c_str());
            }
            Poll();
            Sleep(5);
        }
    } else if (c == "hold") {
        Need(t, 2);
        HANDLE f = CreateFileA(t[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) Stop("cannot hold [%s]", t[1].c_str());
        Held[t[1]] = f;
    } else if (c == "release") {
        Need(t, 2);
        if (!Held.count(t[1])) Stop("[%s] is not held", t[1].c_str());
        CloseHandle(Held[t[1]]);
        Held.erase(t[1]);
    } else if (c == "set-env") {
        Need(t, 3);
        SetEnvironmentVariableA(t[1].c_str(), t[2].c_str());
    } else if (c == "write-center") {
        // Screen position of a control's centre, for real mouse clicks.
        Need(t, 3);
        RECT r;
        GetWindowRect(Control(atoi(t[1].c_str())), &r);
        WriteText(t[2], std::to_string((r.left + r.right) / 2) + " " +
                            std::to_string((r.top + r.bottom) / 2) + "\n");
    } else if (c == "signal") {
        Need(t, 2);
        WriteText(t[1], "");
    } else if (c == "wait-for") {
        Need(t, 2);
        DWORD start = GetTickCount(), timeout = TimeoutArg(t, 2);
        while (Attributes(t[1]) == INVALID_FILE_ATTRIBUTES) {
            Poll();
            if (GetTickCount() - start > timeout) Stop("[%s] did not appear", t[1].c_str());
            Sleep(20);
        }
    } else if (c == "make-dir") {
        Need(t, 2);
        if (!CreateDirectoryA(t[1].c_str(), nullptr)) Stop("cannot make [%s]", t[1].c_str());
    } else if (c == "set-attr") {
        Need(t, 3);
        if (!SetFileAttributesA(t[1].c_str(), strtoul(t[2].c_str(), nullptr, 16))) {
            Stop("cannot set the attributes of [%s]", t[1].c_str());
        }
    } else if (c == "set-times") {
        Need(t, 5);
        SetTimes(t[1], ParseTime(t[2]), ParseTime(t[3]), ParseTime(t[4]));
    } else if (c == "expect-file" || c == "expect-dir" || c == "expect-missing") {
        Need(t, 2);
        DWORD a = Attributes(t[1]);
        bool ok = c == "expect-missing" ? a == INVALID_FILE_ATTRIBUTES
                  : c == "expect-dir"
                      ? a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)
                      : a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
        if (!ok) Stop("%s [%s]: attributes %08lx", c.c_str(), t[1].c_str(), a);
    } else if (c == "expect-content") {
        Need(t, 3);
        std::string data = ReadWhole(t[1]);
        if (data != t[2])
            Stop("[%s] holds [%s]", t[1].c_str(), Printable(data.substr(0, 200)).c_str());
    } else if (c == "expect-same") {
        Need(t, 3);
        std::string a = ReadWhole(t[1]), b = ReadWhole(t[2]);
        if (a != b)
            Stop("[%s] (%u bytes) differs from [%s] (%u bytes)", t[1].c_str(), (unsigned)a.size(),
                 t[2].c_str(), (unsigned)b.size());
    } else if (c == "expect-size") {
        Need(t, 3);
        std::string data = ReadWhole(t[1]);
        if (data.size() != strtoul(t[2].c_str(), nullptr, 10)) {
            Stop("[%s] has %u bytes", t[1].c_str(), (unsigned)data.size());
        }
    } else if (c == "expect-attr") {
        Need(t, 3);
        DWORD a = Attributes(t[1]), want = strtoul(t[2].c_str(), nullptr, 16);
        if (a != want) Stop("[%s] has attributes %lx, expected %lx", t[1].c_str(), a, want);
    } else if (c == "expect-times") {
        Need(t, 4);
        FILETIME a, w;
        Times(t[1], &a, &w);
        uint64_t wa = ParseTime(t[2]), ww = ParseTime(t[3]);
        if (FromFileTime(a) != wa || FromFileTime(w) != ww) {
            Stop("[%s] times access %llu write %llu, expected %llu %llu", t[1].c_str(),
                 (unsigned long long)FromFileTime(a), (unsigned long long)FromFileTime(w),
                 (unsigned long long)wa, (unsigned long long)ww);
        }
    } else if (c == "expect-write-time-not") {
        Need(t, 3);
        FILETIME a, w;
        Times(t[1], &a, &w);
        if (FromFileTime(w) == ParseTime(t[2])) Stop("[%s] got the stored time", t[1].c_str());
    } else if (c == "snapshot") {
        Need(t, 2);
        Snapshot s;
        s.content = ReadWhole(t[1]);  // read first: reading may move the access time
        s.attributes = Attributes(t[1]);
        Times(t[1], &s.access, &s.write);
        Snapshots[t[1]] = s;
    } else if (c == "expect-unchanged") {
        Need(t, 2);
        if (!Snapshots.count(t[1])) Stop("no snapshot of [%s]", t[1].c_str());
        const Snapshot& s = Snapshots[t[1]];
        FILETIME a, w;
        Times(t[1], &a, &w);
        if (Attributes(t[1]) != s.attributes) Stop("[%s]: attributes changed", t[1].c_str());
        if (FromFileTime(a) != FromFileTime(s.access) || FromFileTime(w) != FromFileTime(s.write)) {
            Stop("[%s]: times changed", t[1].c_str());
        }
        if (ReadWhole(t[1]) != s.content) Stop("[%s]: contents changed", t[1].c_str());
    } else if (c == "expect-no-work-files") {
        ExpectNoWorkFiles(std::vector<std::string>(t.begin() + 1, t.end()));
    } else {
        Stop("unknown command %s", c.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: stub_driver SCRIPT\n");
        return 2;
    }
    // Marks for the harness, which cannot always rely on the console output
    // under Wine: the script was started, and it ran to its end.
    std::string started = std::string(argv[1]) + ".started",
                finished = std::string(argv[1]) + ".ok";
    CloseHandle(CreateFileA(started.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::string script;
    {
        HANDLE f =
            CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) {
            fprintf(stdout, "FAIL: cannot read %s\n", argv[1]);
            return 1;
        }
        char buffer[65536];
        DWORD n;
        while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) script.append(buffer, n);
        CloseHandle(f);
    }
    size_t pos = 0;
    while (pos < script.size()) {
        size_t end = script.find('\n', pos);
        if (end == std::string::npos) end = script.size();
        std::string text = script.substr(pos, end - pos);
        pos = end + 1;
        Line++;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#') continue;
        Run(Tokens(text));
    }
    if (ChildRunning()) Stop("the script ended while the program still runs");
    fprintf(stdout, "ok: %d lines\n", Line);
    fflush(stdout);
    CloseHandle(
        CreateFileA(finished.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return 0;
}
