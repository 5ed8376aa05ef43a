#pragma once
// The scale's protocol, named once: the commands a transfer sends and the
// acknowledgement each one earns. The engine, the command's dry run and the
// tests' fake scales all take them from here.
#include <string>
#include <string_view>

// Which table the scale is to replace: "SbP"/"MbP" or "SbU"/"MbU".
enum class TDatabaseKind { Product, User };

namespace protocol {

inline constexpr std::string_view StartProducts = "SbP";
inline constexpr std::string_view StartUsers = "SbU";
inline constexpr std::string_view RecordPrefix = "Sr"; // followed by the record text
inline constexpr std::string_view End = "Se";

inline constexpr std::string_view ProductsStarted = "MbP";
inline constexpr std::string_view UsersStarted = "MbU";
inline constexpr std::string_view RecordTaken = "Mr";
inline constexpr std::string_view Ended = "Me";

inline std::string StartCommand(TDatabaseKind kind) {
    return std::string(kind == TDatabaseKind::User ? StartUsers : StartProducts);
}
inline std::string_view StartReply(TDatabaseKind kind) {
    return kind == TDatabaseKind::User ? UsersStarted : ProductsStarted;
}
inline std::string RecordCommand(std::string_view record) {
    return std::string(RecordPrefix).append(record);
}
inline std::string EndCommand() {
    return std::string(End);
}

// The acknowledgement `command` earns: every command that is not a start or the
// end is a record.
inline std::string_view Acknowledgement(std::string_view command) {
    if (command == StartProducts) return ProductsStarted;
    if (command == StartUsers) return UsersStarted;
    if (command == End) return Ended;
    return RecordTaken;
}

} // namespace protocol
