// kastrovin-cred check --connect: the job sections' statements prepared on
// the database, without executing them, and their result columns compared
// with the job definition file's fields.
#ifndef KORVADEX_TOOLS_KASTROVIN_CRED_CHECK_CONNECT_H_
#define KORVADEX_TOOLS_KASTROVIN_CRED_CHECK_CONNECT_H_

#include <optional>
#include <string>

#include "checks/credential_check.h"
#include "jobdef/profile_reader.h"

namespace korvadex::cred {

// What replaces $parm01 when no --terminal is given.
inline constexpr const char* kTerminalPlaceholder = "KVCHECK";

// Connects with the credentials that `check` resolved, through the driver
// side korvadex uses, and adds what the database says of each job section of
// `profile` to `check`. Returns 0, kExitNoConnection when the connect failed,
// or kExitDriverEnded when the driver process ended without its answer.
int AddConnectFindings(CredentialCheck& check, const ProfileData& profile, const std::optional<std::string>& terminal);

}  // namespace korvadex::cred

#endif  // KORVADEX_TOOLS_KASTROVIN_CRED_CHECK_CONNECT_H_
