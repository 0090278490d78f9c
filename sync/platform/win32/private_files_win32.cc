// Windows side of the private folder and file checks: the owner SID and the access list
// play the part of the POSIX owner and mode bits.
#include "sync/platform/win32/private_files_win32.h"

#include "sync/platform/win32/wide_path.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace quillet {
namespace platform {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Takes over other's handle, closing the one held.
  void TakeFrom(Handle* other) {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = other->handle_;
    other->handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

using Sid = std::vector<BYTE>;

Sid CopySid(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return Sid();
  Sid copy(GetLengthSid(sid));
  if (!::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) return Sid();
  return copy;
}

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
  Sid sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return Sid();
  sid.resize(size);
  return sid;
}

// The token's user, and the owner it gives the objects it makes (the Administrators group
// for an elevated process).
struct TokenSids {
  Sid user;
  Sid defaultOwner;
};

TokenSids CurrentTokenSids() {
  TokenSids sids;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sids;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    sids.user = CopySid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  }
  size = 0;
  GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  buffer.assign(size, 0);
  if (size != 0 && GetTokenInformation(token, TokenOwner, buffer.data(), size, &size)) {
    sids.defaultOwner = CopySid(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
  }
  CloseHandle(token);
  return sids;
}

bool Same(const Sid& sid, PSID other) {
  return !sid.empty() && other != nullptr && IsValidSid(other) &&
         EqualSid(const_cast<BYTE*>(sid.data()), other);
}

bool IsUsersOwn(PSID owner, const TokenSids& sids) {
  return Same(sids.user, owner) || Same(sids.defaultOwner, owner);
}

// Who may write to a private folder besides its owner: the system and the machine's
// administrators, as on any profile folder.
bool IsTrustedWriter(PSID sid, const TokenSids& sids) {
  static const Sid system = WellKnown(WinLocalSystemSid);
  static const Sid administrators = WellKnown(WinBuiltinAdministratorsSid);
  static const Sid creatorOwner = WellKnown(WinCreatorOwnerSid);
  return IsUsersOwn(sid, sids) || Same(system, sid) || Same(administrators, sid) ||
         Same(creatorOwner, sid);
}

constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Whether an entry of the access list lets someone else add, replace or remove entries.
bool OpenToOthers(PACL dacl, const TokenSids& sids) {
  if (dacl == nullptr) return true;  // no list: everyone has every right
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return true;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // for children only
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kWriteRights) != 0 && !IsTrustedWriter(sid, sids)) return true;
  }
  return false;
}

// The owner's, the system's and the administrators' alone, passed on to what is made in
// it and no longer inheriting the parent's entries: what chmod 0700 is on POSIX.
bool MakePrivate(HANDLE folder, const TokenSids& sids) {
  Sid system = WellKnown(WinLocalSystemSid);
  Sid administrators = WellKnown(WinBuiltinAdministratorsSid);
  Sid user = sids.user;
  if (user.empty() || system.empty() || administrators.empty()) return false;
  EXPLICIT_ACCESS_W entries[3] = {};
  Sid* sidsOf[3] = {&user, &system, &administrators};
  for (int i = 0; i < 3; ++i) {
    entries[i].grfAccessPermissions = GENERIC_ALL;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sidsOf[i]->data());
  }
  PACL acl = nullptr;
  if (SetEntriesInAclW(3, entries, nullptr, &acl) != ERROR_SUCCESS) return false;
  const DWORD result =
      SetSecurityInfo(folder, SE_FILE_OBJECT,
                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, acl, nullptr);
  LocalFree(acl);
  return result == ERROR_SUCCESS;
}

struct Security {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ~Security() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
};

bool ReadSecurity(HANDLE handle, Security* security) {
  return GetSecurityInfo(handle, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &security->owner,
                         nullptr, &security->dacl, nullptr,
                         &security->descriptor) == ERROR_SUCCESS;
}

}  // namespace

const char16_t* TrustText(Trust trust) {
  switch (trust) {
    case Trust::kOwn:
      return u"is the user's own";
    case Trust::kMissing:
      return u"does not exist";
    case Trust::kLink:
      return u"is a link (a reparse point)";
    case Trust::kWrongKind:
      return u"is not of the expected kind (a device or a folder)";
    case Trust::kOtherOwner:
      return u"belongs to another user";
    case Trust::kOpenToOthers:
      return u"can be written by other users";
    case Trust::kHardLinked:
      return u"has another name as well (a hard link)";
    case Trust::kUnreadable:
      break;
  }
  return u"cannot be examined";
}

Trust TrustOfFileHandle(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return Trust::kWrongKind;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return Trust::kUnreadable;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Trust::kLink;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Trust::kWrongKind;
  if (info.nNumberOfLinks != 1) return Trust::kHardLinked;
  Security security;
  if (!ReadSecurity(handle, &security)) return Trust::kUnreadable;
  static const TokenSids sids = CurrentTokenSids();
  return IsUsersOwn(security.owner, sids) ? Trust::kOwn : Trust::kOtherOwner;
}

Trust CheckPrivateFolder(const std::string& path) {
  const std::wstring wide = WideSystemPath(path);
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  Handle folder(CreateFileW(wide.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, share,
                            nullptr, OPEN_EXISTING, flags, nullptr));
  Handle readOnly(folder.ok() ? INVALID_HANDLE_VALUE
                              : CreateFileW(wide.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                            share, nullptr, OPEN_EXISTING, flags, nullptr));
  const HANDLE handle = folder.ok() ? folder.get() : readOnly.get();
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Trust::kMissing
                                                                          : Trust::kUnreadable;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return Trust::kUnreadable;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Trust::kLink;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Trust::kWrongKind;
  Security security;
  if (!ReadSecurity(handle, &security)) return Trust::kUnreadable;
  static const TokenSids sids = CurrentTokenSids();
  if (!IsUsersOwn(security.owner, sids)) return Trust::kOtherOwner;
  if (!OpenToOthers(security.dacl, sids)) return Trust::kOwn;
  // The user's own with entries inherited from an open parent (C:\ProgramData, say).
  return folder.ok() && MakePrivate(folder.get(), sids) ? Trust::kOwn : Trust::kOpenToOthers;
}

Trust CheckOwnFile(const std::string& path) {
  Handle file(CreateFileW(WideSystemPath(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.ok()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Trust::kMissing
                                                                          : Trust::kUnreadable;
  }
  return TrustOfFileHandle(file.get());
}

namespace {

// Writes contents as the file, which stays open with writing, renaming and deleting denied
// to everyone else (others may read) for as long as the handle lives.
bool WritePinned(const std::wstring& path, DWORD disposition, const std::string& contents,
                 Handle* out) {
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE | READ_CONTROL, FILE_SHARE_READ, nullptr,
                          disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
  if (!file.ok() || TrustOfFileHandle(file.get()) != Trust::kOwn) return false;
  if (!SetEndOfFile(file.get())) return false;
  size_t done = 0;
  while (done < contents.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 20));
    if (!WriteFile(file.get(), contents.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  out->TakeFrom(&file);
  return true;
}

bool CallReader(const std::function<bool(const std::string& name)>& read, const std::string& name) {
  try {
    return read(name);
  } catch (...) {
    return false;
  }
}

}  // namespace

bool ReadBackPinned(const std::string& path, const std::string& contents,
                    const std::function<bool(const std::string& name)>& read) {
  Handle file(INVALID_HANDLE_VALUE);
  if (!WritePinned(WideSystemPath(path), OPEN_ALWAYS, contents, &file)) return false;
  // The reader opens by a narrow name: the one the C run time reaches this file by.
  const std::string name = CRuntimePath(path);
  if (!name.empty()) return CallReader(read, name);
  // A folder no narrow name reaches (a character outside the ANSI code page, past MAX_PATH,
  // no short names on the volume): a second pinned copy in the user's temporary folder,
  // whose narrow name is tried as well, removed once read.
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return false;
  const std::wstring copy = std::wstring(temp, length) + L"quillet-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(GetTickCount64()) + L".property";
  bool result = false;
  {
    Handle pinned(INVALID_HANDLE_VALUE);
    if (!WritePinned(copy, CREATE_NEW, contents, &pinned)) return false;
    const std::string copyName = CRuntimePath(WideToUtf8(FromWin(copy.data(), copy.size())));
    result = !copyName.empty() && CallReader(read, copyName);
  }
  DeleteFileW(copy.c_str());
  return result;
}

}  // namespace platform
}  // namespace quillet
