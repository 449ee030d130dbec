#pragma once

// The text protocol between the service and its clients on the socket, shared
// with the client (zorvi-upgradectl), which builds against this header alone.
// Plain character arrays, so the service's string views and the client's
// std::string both take them as they are.
//
// From the client: "req;<id>;<command>". From the service: "rsp;<id>;true;",
// "rsp;<id>;false;<reason>" (an empty id when it could not read the client's),
// and notifications "nfy;<procedure>;<percent>;<key>;;<text>" or "nfy;idle;;;".
namespace ClientProtocol {

// Where the socket lives: the frontend creates both folders, root's, and hands
// the inner one to its account.
inline constexpr char kBaseDirectory[] = "/var/run/verdanta";
inline constexpr char kRuntimeDirectory[] = "/var/run/verdanta/zorvi-upgrade";
inline constexpr char kSocketPath[] = "/var/run/verdanta/zorvi-upgrade/socket";

// True when `path` names an entry directly inside `directory`.
template <unsigned N, unsigned M>
constexpr bool isInside(const char (&directory)[N], const char (&path)[M]) {
    if (M <= N + 1 || path[N - 1] != '/') return false;
    for (unsigned i = 0; i + 1 < N; ++i)
        if (directory[i] != path[i]) return false;
    for (unsigned i = N; i + 1 < M; ++i)
        if (path[i] == '/') return false;
    return true;
}
static_assert(isInside(kBaseDirectory, kRuntimeDirectory) && isInside(kRuntimeDirectory, kSocketPath),
              "the socket's path names its folders");

inline constexpr char kRequestPrefix[] = "req;";
inline constexpr char kResponsePrefix[] = "rsp;";
inline constexpr char kNotificationPrefix[] = "nfy;";

// Request identifiers run from 1 to this; 0 means "none".
inline constexpr unsigned kMaxRequestId = 65535;

// The commands a request names.
inline constexpr char kUpgrade[] = "upgrade";
inline constexpr char kEraseUpgrade[] = "erase_upgrade";
inline constexpr char kRevert[] = "revert";
inline constexpr char kCancel[] = "cancel";

// A notification's text after its prefix when no procedure runs.
inline constexpr char kIdle[] = "idle;;;";
// The step key of a procedure's last notification.
inline constexpr char kCompletedKey[] = "completed";

} // namespace ClientProtocol

// The reasons a "false" response gives. Clients match them word for word, so
// every part of the system takes them from here.
namespace Reason {

inline constexpr char kInvalidRequest[] = "invalid request";
inline constexpr char kUnsupportedCommand[] = "unsupported command";
inline constexpr char kUnsupportedModel[] = "upgrade not supported on this lumora model";
// A procedure runs on this hub: a second one is never queued behind it.
inline constexpr char kInProgress[] = "upgrade already in progress";
// A procedure completed and its reboot is under way: nothing may start now.
inline constexpr char kRestarting[] = "upgrade completed, hub is restarting";

} // namespace Reason
