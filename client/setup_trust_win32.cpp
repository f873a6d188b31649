// Windows code only: the setup verbs (setup_trust.h). The security calls
// are all newer than Windows 95 or exist there only as stubs, so they are
// looked up when a verb runs; the registry, profile and file calls are as
// old as Windows 95 and NT 3.1.
#include "setup_trust.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app.h"
#include "exception.h"
#include "ini_file.h"
#include "platform.h"

namespace {

// The service runs its programs from the folder as the system account: only
// the system account and the administrators may change anything in it,
// users may read and run (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE), and
// nothing comes from the parent, which may let users write (C:\).
const char kFolderRules[] = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// The settings hold the server's password.
const char kSettingsRules[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
// The package's hand-over holds it too, on its way into the settings.
const char kHandOverRules[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const char kSettingsName[] = "CVNRemote.ini";
const char kTraceName[] = "agtrace.log";
// The folder (inside the program folder) into which the package writes the
// settings it was given, and the file it writes them to.
const char kHandOverFolder[] = "Setup";
const char kHandOverFile[] = "given.ini";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
// The setup program's own entry there.
const char kSetupEntry[] = "CVNRemote";
// Folders whose settings an uninstaller left behind: one value per folder,
// named by its full long path.
const char kKeptKey[] = "Software\\Corvane\\CVNRemote\\Kept settings";
const char* const kKeptParents[] = {"Software\\Corvane\\CVNRemote", "Software\\Corvane"};
// Owners and trustees that only an administrator can make: the
// Administrators group, the system account, TrustedInstaller (the running
// account is added).
const char* const kTrustedSids[] = {"S-1-5-32-544", "S-1-5-18",
                                    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
// What lets a trustee change an entry: write or append to it (add to a
// folder), delete it or what is in it, change its rules or take it.
const DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                            WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// A virus scanner looks at a file a moment after it changed: an entry held
// open is tried again for this long.
const DWORD kHeldOpenWaitMs = 5000;
// On mains power the client notices a stop only between its connection
// attempts, which may take half a minute.
const DWORD kServiceStopWaitMs = 60000;

// A refusal or a failure, as a catalogue entry with its inserts.
struct CRefusal {
    DWORD m_dwMessageId;
    std::vector<std::string> m_Inserts;
    int m_nStatus;
};

[[noreturn]] void Refuse(DWORD messageId, std::vector<std::string> inserts)
{
    throw CRefusal{messageId, std::move(inserts), cvn::kExitRefused};
}

std::string SystemText(DWORD error)
{
    char buffer[512] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  buffer, sizeof buffer, nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty())
        text = "error " + std::to_string(error);
    return text;
}

// A step that failed with the system's error code.
[[noreturn]] void Fail(const char* step, const std::string& path, DWORD error)
{
    throw CRefusal{MSG_SETUP_STEP_FAILED, {step, path, SystemText(error) + "."}, cvn::kExitFailed};
}

// The security calls, looked up in advapi32.dll.
struct CSecurity {
    decltype(&GetFileSecurityA) GetFileSecurity = nullptr;
    decltype(&SetFileSecurityA) SetFileSecurity = nullptr;
    decltype(&GetSecurityDescriptorOwner) GetOwner = nullptr;
    decltype(&GetSecurityDescriptorDacl) GetDacl = nullptr;
    decltype(&GetAce) GetAceAt = nullptr;
    decltype(&EqualSid) SameSid = nullptr;
    decltype(&GetTokenInformation) TokenInformation = nullptr;
    BOOL(WINAPI* SidFromText)(LPCSTR, PSID*) = nullptr;
    BOOL(WINAPI* SidToText)(PSID, LPSTR*) = nullptr;
    BOOL(WINAPI* RulesFromText)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG) = nullptr;
    DWORD(WINAPI* LongPath)(LPCSTR, LPSTR, DWORD) = nullptr;

    bool Load()
    {
        HMODULE advapi = GetModuleHandleA("advapi32.dll");
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        if (!advapi || !kernel)
            return false;
        Get(advapi, "GetFileSecurityA", GetFileSecurity);
        Get(advapi, "SetFileSecurityA", SetFileSecurity);
        Get(advapi, "GetSecurityDescriptorOwner", GetOwner);
        Get(advapi, "GetSecurityDescriptorDacl", GetDacl);
        Get(advapi, "GetAce", GetAceAt);
        Get(advapi, "EqualSid", SameSid);
        Get(advapi, "GetTokenInformation", TokenInformation);
        Get(advapi, "ConvertStringSidToSidA", SidFromText);
        Get(advapi, "ConvertSidToStringSidA", SidToText);
        Get(advapi, "ConvertStringSecurityDescriptorToSecurityDescriptorA", RulesFromText);
        // Windows 2000 and 98: without it a path stays as given.
        Get(kernel, "GetLongPathNameA", LongPath);
        return GetFileSecurity && SetFileSecurity && GetOwner && GetDacl && GetAceAt && SameSid &&
               TokenInformation && SidFromText && SidToText && RulesFromText;
    }

    template <typename Fn>
    static void Get(HMODULE module, const char* name, Fn& function)
    {
        function = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
};

CSecurity g_security;

// A handle closed on the way out.
class CHandle {
public:
    explicit CHandle(HANDLE handle) : m_hHandle(handle) {}
    ~CHandle()
    {
        if (m_hHandle != INVALID_HANDLE_VALUE && m_hHandle)
            CloseHandle(m_hHandle);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    bool Valid() const { return m_hHandle != INVALID_HANDLE_VALUE && m_hHandle; }
    HANDLE Get() const { return m_hHandle; }

private:
    HANDLE m_hHandle;
};

bool SameText(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The full path of path in its long form, without a closing "\" (but for a
// drive's), so that two spellings of one folder compare equal.
std::string NormalPath(const std::string& path)
{
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    std::string result = length > 0 && length < sizeof full ? std::string(full, length) : path;
    if (g_security.LongPath) {
        char longer[MAX_PATH];
        length = g_security.LongPath(result.c_str(), longer, sizeof longer);
        if (length > 0 && length < sizeof longer)
            result.assign(longer, length);
    }
    if (result.size() > 3 && result.back() == '\\')
        result.pop_back();
    return result;
}

std::string Join(const std::string& folder, const char* name)
{
    return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A string value of HKLM, "" when there is none.
std::string MachineValue(const std::string& key, const char* name)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "";
    char data[MAX_PATH + 1];
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    LONG result = RegQueryValueExA(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return "";
    data[size] = '\0';
    return data;
}

bool HasMachineValue(const char* key, const std::string& name)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    LONG result = RegQueryValueExA(handle, name.c_str(), nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

// The whole security descriptor of path (owner and access list), empty when
// it cannot be read.
std::vector<BYTE> ReadRules(const std::string& path)
{
    std::vector<BYTE> descriptor(1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD needed = 0;
        if (g_security.GetFileSecurity(path.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       descriptor.data(), static_cast<DWORD>(descriptor.size()), &needed))
            return descriptor;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= descriptor.size())
            break;
        descriptor.resize(needed);
    }
    return {};
}

std::string SidText(PSID sid)
{
    LPSTR text = nullptr;
    if (!sid || !g_security.SidToText(sid, &text))
        return "an unknown account";
    std::string result = text;
    LocalFree(text);
    return result;
}

// Who may change what is in the program folder without the client's
// setup: nobody but these.
class CTrustees {
public:
    CTrustees()
    {
        for (const char* text : kTrustedSids) {
            PSID sid = nullptr;
            if (g_security.SidFromText(text, &sid))
                m_Sids.push_back(sid);
        }
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            m_Self.resize(1024);
            DWORD size = 0;
            if (g_security.TokenInformation(token, TokenUser, m_Self.data(), static_cast<DWORD>(m_Self.size()),
                                            &size))
                m_Sids.push_back(reinterpret_cast<TOKEN_USER*>(m_Self.data())->User.Sid);
            CloseHandle(token);
        }
    }
    ~CTrustees()
    {
        // The last one may be the token's, which is not ours to free.
        for (size_t i = 0; i < m_Sids.size(); ++i) {
            if (m_Self.empty() || m_Sids[i] != reinterpret_cast<TOKEN_USER*>(m_Self.data())->User.Sid)
                LocalFree(m_Sids[i]);
        }
    }
    CTrustees(const CTrustees&) = delete;
    CTrustees& operator=(const CTrustees&) = delete;

    bool Trusted(PSID sid) const
    {
        for (PSID trusted : m_Sids) {
            if (sid && g_security.SameSid(sid, trusted))
                return true;
        }
        return false;
    }

private:
    std::vector<PSID> m_Sids;
    std::vector<BYTE> m_Self;
};

// One entry: no link to elsewhere (the lock would follow it), no file with
// other names elsewhere (the lock would change that file too), an owner
// that only an administrator can give it (an owner may always change the
// rules), and with rules when entire: nobody else may change it.
void JudgeEntry(const std::string& path, const CTrustees& trustees, bool rules)
{
    {
        CHandle file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION information;
        if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &information))
            Fail("examine", path, GetLastError());
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && information.nNumberOfLinks > 1))
            Refuse(MSG_SETUP_LINK, {path});
    }
    std::vector<BYTE> descriptor = ReadRules(path);
    if (descriptor.empty())
        Fail("read the access rules of", path, GetLastError());
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!g_security.GetOwner(descriptor.data(), &owner, &defaulted) || !trustees.Trusted(owner))
        Refuse(MSG_SETUP_OWNER, {path, SidText(owner)});
    if (!rules)
        return;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!g_security.GetDacl(descriptor.data(), &present, &dacl, &defaulted))
        Fail("read the access rules of", path, GetLastError());
    // No access list at all lets everyone do everything.
    if (!present || !dacl)
        Refuse(MSG_SETUP_WRITABLE, {path, "everyone"});
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* ace = nullptr;
        if (!g_security.GetAceAt(dacl, index, reinterpret_cast<void**>(&ace)))
            Fail("read the access rules of", path, GetLastError());
        // Rules for what is made inside later, and refusals, give nothing.
        if (ace->AceFlags & INHERIT_ONLY_ACE)
            continue;
        switch (ace->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
            PSID trustee = &allowed->SidStart;
            if ((allowed->Mask & kChangeRights) && !trustees.Trusted(trustee))
                Refuse(MSG_SETUP_WRITABLE, {path, SidText(trustee)});
            break;
        }
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            // Kinds that files do not carry: whom they let in is not read
            // here, so they count against the entry.
            if (reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask & kChangeRights)
                Refuse(MSG_SETUP_WRITABLE, {path, "an account of a rule this client does not read"});
            break;
        default:
            break;
        }
    }
}

// Every entry below folder (not the folder itself), folders before what
// they hold, into entries.
void ListEntries(const std::string& folder, std::vector<std::string>& entries)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(Join(folder, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
            return;
        Fail("list the folder", folder, error);
    }
    std::vector<std::string> folders;
    do {
        if (!std::strcmp(found.cFileName, ".") || !std::strcmp(found.cFileName, ".."))
            continue;
        std::string path = Join(folder, found.cFileName);
        entries.push_back(path);
        // A link to a folder is not walked into: it is refused on its own.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            folders.push_back(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (const std::string& inner : folders)
        ListEntries(inner, entries);
}

// The folders that the lock would reach into and that are not the client's
// to take: Windows' own.
void JudgePlace(const std::string& folder)
{
    std::string inside = folder + (folder.back() == '\\' ? "" : "\\");
    char buffer[MAX_PATH];
    UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
    std::string windows = length > 0 && length < sizeof buffer ? NormalPath(std::string(buffer, length)) : "";
    length = GetSystemDirectoryA(buffer, sizeof buffer);
    std::string system = length > 0 && length < sizeof buffer ? NormalPath(std::string(buffer, length)) : "";
    for (const std::string& place : {windows, system}) {
        std::string prefix = place + "\\";
        if (!place.empty() && inside.size() <= prefix.size() && SameText(prefix.substr(0, inside.size()), inside))
            Refuse(MSG_SETUP_SYSTEM_FOLDER, {folder});
    }
    // A drive's root holds everything on it.
    if (folder.size() <= 3)
        Refuse(MSG_SETUP_SYSTEM_FOLDER, {folder});
}

// The settings file in folder is ours when the registry, which only
// administrators can write, has the folder on record: the setup's
// installation, the package's (for one of the product codes, separated by
// ";": the package itself and the older versions it replaces), or settings
// kept.
bool Vouched(const std::string& folder, const std::string& products)
{
    std::string setup = MachineValue(std::string(kUninstallKey) + kSetupEntry, "InstallLocation");
    if (!setup.empty() && SameText(NormalPath(setup), folder))
        return true;
    size_t start = 0;
    while (start < products.size()) {
        size_t end = products.find(';', start);
        if (end == std::string::npos)
            end = products.size();
        std::string product = products.substr(start, end - start);
        start = end + 1;
        // A product code is a GUID in braces: nothing else names a key here.
        if (product.size() != 38 || product[0] != '{' || product.find('\\') != std::string::npos)
            continue;
        std::string package = MachineValue(std::string(kUninstallKey) + product, "InstallLocation");
        if (!package.empty() && SameText(NormalPath(package), folder))
            return true;
    }
    return HasMachineValue(kKeptKey, folder);
}

// trust: nothing changes.
void Trust(const std::string& folder, const std::string& product)
{
    JudgePlace(folder);
    if (!Exists(folder))
        return;
    CTrustees trustees;
    // The folder itself is taken whatever rules it inherited; its owner
    // could loosen them again.
    JudgeEntry(folder, trustees, false);
    std::string settings = Join(folder, kSettingsName);
    if (Exists(settings) && !Vouched(folder, product))
        Refuse(MSG_SETUP_UNVOUCHED, {settings});
    std::vector<std::string> entries;
    ListEntries(folder, entries);
    for (const std::string& entry : entries)
        JudgeEntry(entry, trustees, true);
}

void SetRules(const std::string& path, const char* rules)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!g_security.RulesFromText(rules, 1 /* SDDL_REVISION_1 */, &descriptor, nullptr))
        Fail("restrict the access to", path, GetLastError());
    BOOL done = g_security.SetFileSecurity(path.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                           descriptor);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!done)
        Fail("restrict the access to", path, error);
}

// The service stopped, if it runs, so that nothing of the folder is in use.
void StopService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return;
    SC_HANDLE service = OpenServiceA(manager, cvn::kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS status;
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            for (DWORD waited = 0; waited < kServiceStopWaitMs; waited += 200) {
                if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
                    break;
                Sleep(200);
            }
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// After the lock nobody else can open an entry for writing any more, but a
// handle opened before it still writes: an entry that cannot be opened with
// read sharing only is held that way.
void JudgeHeldOpen(const std::string& path)
{
    for (DWORD waited = 0;; waited += 200) {
        CHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (file.Valid())
            return;
        DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION)
            Fail("open", path, error);
        if (waited >= kHeldOpenWaitMs)
            Refuse(MSG_SETUP_HELD_OPEN, {path});
        Sleep(200);
    }
}

// lock: the folder taken, all in it locked, then checked for open handles.
void Lock(const std::string& folder)
{
    JudgePlace(folder);
    if (!IsFolder(folder) && !CreateDirectoryA(folder.c_str(), nullptr))
        Fail("create the folder", folder, GetLastError());
    SetRules(folder, kFolderRules);
    std::string settings = Join(folder, kSettingsName);
    std::vector<std::string> entries;
    ListEntries(folder, entries);
    for (const std::string& entry : entries)
        SetRules(entry, SameText(entry, settings) ? kSettingsRules : kFolderRules);
    StopService();
    for (const std::string& entry : entries) {
        if (!IsFolder(entry))
            JudgeHeldOpen(entry);
    }
}

// The server address the settings file at path holds, read as the client
// reads it.
std::string AddressIn(const std::string& path)
{
    if (path.empty() || !Exists(path))
        return "";
    CINIFile ini(path.c_str());
    return ini.GetString("Settings", "Server Address", "");
}

void MsiBegin(const std::string& folder, const std::string& product, const std::string& address,
              const std::string& prepared)
{
    Trust(folder, product);
    if (!prepared.empty()) {
        FILE* file = std::fopen(prepared.c_str(), "rb");
        if (!file)
            Fail("read the settings file", prepared, GetLastError());
        std::fclose(file);
    }
    if (address.empty() && AddressIn(prepared).empty() &&
        (!prepared.empty() || AddressIn(Join(folder, kSettingsName)).empty()))
        Refuse(MSG_SETUP_NO_ADDRESS, {});
    Lock(folder);
    std::string handOver = Join(folder, kHandOverFolder);
    if (!IsFolder(handOver) && !CreateDirectoryA(handOver.c_str(), nullptr))
        Fail("create the folder", handOver, GetLastError());
    SetRules(handOver, kHandOverRules);
    DeleteFileA(Join(handOver, kHandOverFile).c_str());
}

// The settings' keys in the [Settings] section and the client's defaults.
struct CSettingKey {
    const char* m_pszKey;
    const char* m_pszDefault;
};
const CSettingKey kSettingKeys[] = {
    {"Server Address", ""},        {"Server Port", "8888"},         {"Username", "admin"},
    {"Password", "vorak"},         {"On Battery Shutdown", "120"}, {"Low Battery Shutdown", "30"},
};

std::string ProfileValue(const std::string& path, const char* section, const char* key)
{
    char value[256] = "";
    GetPrivateProfileStringA(section, key, "", value, sizeof value, path.c_str());
    return value;
}

void WriteValue(const std::string& path, const char* section, const char* key, const std::string& value)
{
    if (!WritePrivateProfileStringA(section, key, value.c_str(), path.c_str()))
        Fail("write", path, GetLastError());
}

// The content of source into target, byte for byte: truncating a file keeps
// its access rules.
void CopyContent(const std::string& source, const std::string& target)
{
    FILE* in = std::fopen(source.c_str(), "rb");
    if (!in)
        Fail("read the settings file", source, GetLastError());
    FILE* out = std::fopen(target.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        Fail("write", target, GetLastError());
    }
    char buffer[4096];
    size_t count;
    bool written = true;
    while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        written = written && std::fwrite(buffer, 1, count, out) == count;
    std::fclose(in);
    if (std::fclose(out) != 0 || !written)
        Fail("write", target, ERROR_WRITE_FAULT);
}

// What msibegin's lock vouched for stays on record as the installation's:
// the marks of kept settings go, as the setup drops them.
void ForgetKept(const std::string& folder)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeptKey, 0, KEY_SET_VALUE, &handle) == ERROR_SUCCESS) {
        RegDeleteValueA(handle, folder.c_str());
        RegCloseKey(handle);
    }
    // Only empty keys go (RegDeleteKeyA on NT deletes no key with subkeys;
    // values are checked here).
    const char* keys[] = {kKeptKey, kKeptParents[0], kKeptParents[1]};
    for (const char* key : keys) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
            continue;
        DWORD subkeys = 1;
        DWORD values = 1;
        RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(handle);
        if (subkeys != 0 || values != 0)
            break;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    }
}

// msisettings: a new settings file gets every key, an existing one only
// the keys given; a prepared file is carried over and the keys given
// change it. The file is protected before a password goes into it.
void MsiSettings(const std::string& folder, const std::string& prepared)
{
    std::string handOverFolder = Join(folder, kHandOverFolder);
    std::string handOver = Join(handOverFolder, kHandOverFile);
    std::string settings = Join(folder, kSettingsName);
    std::vector<std::string> given;
    for (const CSettingKey& key : kSettingKeys)
        given.push_back(Exists(handOver) ? ProfileValue(handOver, "Settings", key.m_pszKey) : "");
    // The hand-over goes whatever happens next: it holds the password.
    DeleteFileA(handOver.c_str());
    RemoveDirectoryA(handOverFolder.c_str());

    const bool existed = Exists(settings);
    if (!existed) {
        FILE* file = std::fopen(settings.c_str(), "wb");
        if (!file)
            Fail("create", settings, GetLastError());
        std::fclose(file);
    }
    try {
        SetRules(settings, kSettingsRules);
    } catch (CRefusal&) {
        if (!existed)
            DeleteFileA(settings.c_str());
        throw;
    }
    if (!prepared.empty() && !SameText(NormalPath(prepared), NormalPath(settings)))
        CopyContent(prepared, settings);
    const bool fresh = !existed && prepared.empty();
    for (size_t i = 0; i < given.size(); ++i) {
        if (!given[i].empty())
            WriteValue(settings, "Settings", kSettingKeys[i].m_pszKey, given[i]);
        else if (fresh)
            WriteValue(settings, "Settings", kSettingKeys[i].m_pszKey, kSettingKeys[i].m_pszDefault);
    }
    if (fresh) {
        WriteValue(settings, "Debug", "On", "0");
        WriteValue(settings, "Debug", "Level", "2");
    }
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, settings.c_str());
    ForgetKept(folder);
}

// msiend: the settings kept and marked, or purged. In an upgrade the
// newer package removes the older one after its own msibegin: the
// hand-over folder is the newer package's then.
void MsiEnd(const std::string& folder, bool purge, bool upgrade)
{
    std::string settings = Join(folder, kSettingsName);
    std::string handOverFolder = Join(folder, kHandOverFolder);
    if (!upgrade) {
        DeleteFileA(Join(handOverFolder, kHandOverFile).c_str());
        RemoveDirectoryA(handOverFolder.c_str());
    }
    if (purge) {
        DeleteFileA(settings.c_str());
        DeleteFileA(Join(folder, kTraceName).c_str());
    }
    if (Exists(settings)) {
        HKEY handle;
        if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kKeptKey, &handle) != ERROR_SUCCESS)
            Fail("record the settings kept in", folder, GetLastError());
        LONG result = RegSetValueExA(handle, folder.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kSettingsName),
                                     sizeof kSettingsName);
        RegCloseKey(handle);
        if (result != ERROR_SUCCESS)
            Fail("record the settings kept in", folder, static_cast<DWORD>(result));
    } else {
        ForgetKept(folder);
    }
    // Only when empty.
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

namespace cvn {

int RunSetupVerb(const std::string& verb, const std::vector<std::string>& arguments)
{
    auto argument = [&](size_t index) { return index < arguments.size() ? arguments[index] : std::string(); };
    try {
        if (!g_security.Load())
            Fail("find the security functions of", "this Windows", ERROR_CALL_NOT_IMPLEMENTED);
        if (argument(0).empty())
            Fail("find", "the folder", ERROR_INVALID_PARAMETER);
        const std::string folder = NormalPath(argument(0));
        std::string lower;
        for (char c : verb)
            lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (lower == "trust")
            Trust(folder, argument(1));
        else if (lower == "lock")
            Lock(folder);
        else if (lower == "msibegin")
            MsiBegin(folder, argument(1), argument(2), argument(3).empty() ? "" : NormalPath(argument(3)));
        else if (lower == "msisettings")
            MsiSettings(folder, argument(1).empty() ? "" : NormalPath(argument(1)));
        else
            MsiEnd(folder, argument(1) == "1", !argument(2).empty());
        return 0;
    } catch (CRefusal& refusal) {
        std::vector<const char*> inserts;
        for (const std::string& insert : refusal.m_Inserts)
            inserts.push_back(insert.c_str());
        while (inserts.size() < 3)
            inserts.push_back("");
        CCVNException report(refusal.m_dwMessageId, static_cast<std::uint16_t>(refusal.m_Inserts.size()),
                             inserts[0], inserts[1], inserts[2]);
        report.ReportToConsole();
        report.ReportToEventLog();
        return refusal.m_nStatus;
    }
}

}  // namespace cvn
