/* The Windows side of the tests under Wine, one small program for all of it.
 *
 * Named KorvelWindows.exe it is the stand-in application: it writes
 * "started <argument count>" and "image <size of its own exe>" to the file
 * named by KORVEL_APP_RECORD, closes
 * its inherited output, waits until <record>.release exists (60 s at most),
 * then appends "released" and ends. Every wait here stretches by the factor
 * KORVEL_TEST_TIME_SCALE, as the tests' own do.
 *
 * Otherwise the first argument picks a task:
 *   run PROGRAM           runs PROGRAM, prints "exit <code>" as Windows reports it
 *   trust CERT.pem        adds the certificate to the machine's ROOT store
 *   hold PATH SHARE MARK  opens PATH for reading and writing, shared for
 *                         "rw" (read and write, not delete) or "r" (read),
 *                         creates MARK, and holds the file until MARK is gone
 *   window TITLE          finds the top-level window TITLE, prints its client
 *                         size, asks Windows to make it larger, prints the size
 *                         that Windows then gives it
 */
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int fail(const char *what)
{
    fprintf(stderr, "winhelper: %s failed (error %lu)\n", what, GetLastError());
    return 2;
}

/* A count of polls, stretched by KORVEL_TEST_TIME_SCALE (at least 1). */
static int polls(int count)
{
    static double scale = 0;
    if (scale == 0) {
        char value[32];
        DWORD length = GetEnvironmentVariableA("KORVEL_TEST_TIME_SCALE", value, sizeof value);
        scale = length > 0 && length < sizeof value ? atof(value) : 1;
        if (!(scale > 1))
            scale = 1;
    }
    return (int)(count * scale);
}

static BOOL exists(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

static void append(const wchar_t *path, const char *text)
{
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written;
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteFile(file, text, (DWORD)strlen(text), &written, NULL);
    CloseHandle(file);
}

static int standIn(int argc)
{
    wchar_t record[MAX_PATH];
    wchar_t release[MAX_PATH + 16];
    wchar_t folder[MAX_PATH];
    wchar_t image[MAX_PATH];
    wchar_t *slash;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    char line[64];
    int i;

    /* Our output is the updater's; let go of it, as an application would. */
    CloseHandle(GetStdHandle(STD_INPUT_HANDLE));
    CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
    CloseHandle(GetStdHandle(STD_ERROR_HANDLE));
    if (!GetEnvironmentVariableW(L"KORVEL_APP_RECORD", record, MAX_PATH))
        return 3;
    swprintf(release, MAX_PATH + 16, L"%ls.release", record);
    wcscpy(folder, record);
    slash = NULL;
    for (i = 0; folder[i]; ++i) {
        if (folder[i] == L'/' || folder[i] == L'\\')
            slash = folder + i;
    }
    if (slash)
        *slash = 0;
    snprintf(line, sizeof line, "started %d\n", argc - 1);
    append(record, line);
    /* Tells which build of the application was started. */
    GetModuleFileNameW(NULL, image, MAX_PATH);
    if (GetFileAttributesExW(image, GetFileExInfoStandard, &attributes)) {
        snprintf(line, sizeof line, "image %lu\n", attributes.nFileSizeLow);
        append(record, line);
    }
    /* The sandbox writes the release as it goes; a poll that misses it
     * still sees the record's folder gone. */
    for (i = 0; i < polls(1200) && !exists(release) && (!slash || exists(folder)); ++i)
        Sleep(50);
    if (exists(release))
        append(record, "released\n");
    return 0;
}

static int run(const wchar_t *program)
{
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    wchar_t commandLine[MAX_PATH + 3];
    DWORD code;
    /* The child writes where we write. */
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    SetHandleInformation(startup.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(startup.hStdError, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    swprintf(commandLine, MAX_PATH + 3, L"\"%ls\"", program);
    if (!CreateProcessW(program, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
        return fail("CreateProcess");
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &code))
        return fail("GetExitCodeProcess");
    printf("exit %ld\n", (long)(int)code);
    fflush(stdout);
    return 0;
}

static int trust(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    char pem[16384];
    BYTE der[16384];
    DWORD size = 0;
    DWORD derSize = sizeof der;
    HCERTSTORE store;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, pem, sizeof pem, &size, NULL))
        return fail("reading the certificate");
    CloseHandle(file);
    if (!CryptStringToBinaryA(pem, size, CRYPT_STRING_BASE64HEADER, der, &derSize, NULL, NULL))
        return fail("CryptStringToBinary");
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!store)
        return fail("CertOpenStore");
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derSize,
                                          CERT_STORE_ADD_REPLACE_EXISTING, NULL))
        return fail("CertAddEncodedCertificateToStore");
    CertCloseStore(store, 0);
    printf("trusted\n");
    return 0;
}

static int hold(const wchar_t *path, const wchar_t *share, const wchar_t *mark)
{
    DWORD mode = wcscmp(share, L"rw") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, mode, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE marker;
    int i;
    if (file == INVALID_HANDLE_VALUE)
        return fail("opening the file to hold");
    marker = CreateFileW(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker == INVALID_HANDLE_VALUE)
        return fail("creating the mark");
    CloseHandle(marker);
    for (i = 0; i < polls(2400) && exists(mark); ++i)
        Sleep(50);
    CloseHandle(file);
    return 0;
}

static int window(const wchar_t *title)
{
    HWND hwnd = NULL;
    RECT before;
    RECT after;
    LONG style;
    int i;
    for (i = 0; i < polls(600) && !hwnd; ++i) {
        hwnd = FindWindowW(NULL, title);
        if (!hwnd)
            Sleep(100);
    }
    if (!hwnd)
        return fail("FindWindow");
    GetClientRect(hwnd, &before);
    style = GetWindowLongW(hwnd, GWL_STYLE);
    /* What a user's drag of the frame or a maximize would ask for. */
    SetWindowPos(hwnd, NULL, 0, 0, 900, 700, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetClientRect(hwnd, &after);
    printf("client %ldx%ld\nafter resize %ldx%ld\nmaximize box %d\n", before.right, before.bottom,
           after.right, after.bottom, (style & WS_MAXIMIZEBOX) != 0);
    fflush(stdout);
    return 0;
}

int main(void)
{
    int argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t path[MAX_PATH];
    const wchar_t *self = path;
    GetModuleFileNameW(NULL, path, MAX_PATH);
    if (wcsrchr(path, L'\\'))
        self = wcsrchr(path, L'\\') + 1;

    if (_wcsicmp(self, L"KorvelWindows.exe") == 0)
        return standIn(argc);
    if (argc == 3 && wcscmp(argv[1], L"run") == 0)
        return run(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"trust") == 0)
        return trust(argv[2]);
    if (argc == 5 && wcscmp(argv[1], L"hold") == 0)
        return hold(argv[2], argv[3], argv[4]);
    if (argc == 3 && wcscmp(argv[1], L"window") == 0)
        return window(argv[2]);
    fprintf(stderr, "usage: winhelper run PROGRAM | trust CERT | hold PATH rw|r MARK | window TITLE\n");
    return 2;
}
