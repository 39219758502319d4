#pragma once

// What the application and the catalog service agree on, beyond the bridge protocol itself.
//
// Transport: the application listens on a Unix-domain socket in a private folder (mode 0700) and
// starts the service with "--socket PATH" and pipes for its standard input and output. The service
// connects, prints the up line on its standard output, and both ends run the handshake. The service
// exits when its standard input ends, so it never outlives the application.
//
// Flow: neither end blocks in a write. The application always reads what the service sends; the
// service stops reading requests while a megabyte of its replies waits to be read. So what either end
// buffers stays bounded, and the two never wait for each other.
//
// Messages: requests go to kServicePort. A request whose marker is true asks for a reply: the service
// answers with the header [false, kReplyPort, name] and the arguments [id, results...], where id is
// the message counter of the request's frame and name the request's name, or "error" with the
// arguments [id, text] when it cannot do what was asked. A request whose marker is false is answered
// with nothing.

#include <cstdint>

namespace DynProtocol {

inline constexpr std::int64_t kServicePort = 1;
inline constexpr std::int64_t kReplyPort = 2;

inline constexpr char kSocketOption[] = "--socket";
// The line the service prints once it has connected: the prefix, then its pid.
inline constexpr char kUpLinePrefix[] = "lumo-catalogd: up pid=";

inline constexpr char kPing[] = "ping"; // answered with its own arguments
inline constexpr char kRenameBatch[] = "document_rename_batch";
inline constexpr char kShutdown[] = "dyn_platform_shutdown";
// E-mail through SMTP: [message record, account record]; answered once the server took the message.
inline constexpr char kSendEmail[] = "sendemail";
// Place names of positions: [[[latitude, longitude], ...], options {"server": ...}]; answered per position.
inline constexpr char kRevGeoBatch[] = "revgeo_batch";
inline constexpr char kError[] = "error";

// Test hook of the service: a comma-separated list of message names it receives and ignores.
inline constexpr char kIgnoreVariable[] = "LUMO_CATALOGD_IGNORE";
// Where the application finds the service when it is not beside the running program.
inline constexpr char kProgramVariable[] = "LUMO_CATALOGD_PATH";

} // namespace DynProtocol
