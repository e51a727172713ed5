// Windows: access lists written in the system's own words (SDDL), for the
// files, folders and mutexes the tool makes for its user alone or for the
// whole host.
#pragma once

#if defined(_WIN32)

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "errors.h"

namespace tool {

// Security attributes that carry an access list; a Failure when the text
// does not make one.
class AccessList {
  public:
    explicit AccessList(const std::string& text) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                                  &descriptor_, nullptr))
            throw Failure("cannot make the access list " + text + ": system error " +
                          std::to_string(GetLastError()));
        attributes_.lpSecurityDescriptor = descriptor_;
    }
    ~AccessList() { LocalFree(descriptor_); }
    AccessList(const AccessList&) = delete;
    AccessList& operator=(const AccessList&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

  private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{sizeof attributes_, nullptr, FALSE};
};

// Whether the process runs with the administrators' rights (elevated).
inline bool administrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

// The security identifier of the user running the tool, as text
// ("S-1-5-21-..."); a Failure when the system does not say.
inline std::string userSidText() {
    HANDLE token = nullptr;
    std::string text;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<BYTE> user(size);
        LPSTR sid = nullptr;
        if (size != 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
            text = sid;
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    if (text.empty())
        throw Failure("cannot tell which user runs the tool");
    return text;
}

}  // namespace tool

#endif
