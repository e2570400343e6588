#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The program's texts by name. What each says, in each language, stands in the catalogues
// (port/catalogue_*.cpp); the front end chooses one as it starts (port/catalogue.h).
namespace tovrin {

enum class TextId : unsigned char {
  CAPTION,
  CONNECT,
  SEND,
  DISCONNECT,
  WAITING,
  INVALID_IP,
  CONNECTING,
  CONNECTED,
  CONNECT_FAILED,
  ACCEPT_FAILED,
  RULE,
  DISCONNECTED,
  LISTEN_FAILED,
  SAVING_TO,
  CHAT_SENT,
  CHAT_RECEIVED,
  PEER_NAME,
  RECEIVING,
  CANNOT_CREATE,
  RECEIVE_DONE,
  WRITE_FAILED,
  CANNOT_OPEN,
  CANNOT_SEND,
  EXISTS,
  SENDING,
  RESUMING,
  SEND_DONE,
  READ_FAILED,
  NAME_NOT_SENDABLE,
  FOLDER_LINK_SKIPPED,
  TOO_LARGE,
  EXTENDED_SESSION,
  CLASSIC_SESSION,
  RECEIVING_LONG,
  SENDING_LONG,
  RESUMING_LONG,
  RESTARTING,
  VERIFY_RETRY,
  VERIFY_FAILED,
  RECEIVE_ABORTED,
  SEND_ABORTED,
  RECEIVE_INCOMPLETE,
  CHANGED_RETRY,
  CHANGED_FAILED,
  NOT_DELIVERED,
  BATCH_FILES_OF,
  BATCH_FILES,
  BATCH_SUMMARY,
  PEER_VIOLATION,
  WHY_LENGTH,
  WHY_UNEXPECTED,
  WHY_LAYOUT,
  WHY_ORDER,
  WHY_TOO_MANY,
  WHY_BEYOND_SIZE,
  WHY_SHORT,
  ENCRYPTED_SESSION,
  OWN_FINGERPRINT,
  PEER_PAIRED,
  PEER_JUST_PAIRED,
  PEER_NOT_VERIFIED,
  ENCRYPTED_SESSION_WITH,
  KEY_CHANGED,
  NO_LONGER_ENCRYPTS,
  TITLE_PAIRED,
  TITLE_NOT_VERIFIED,
  TITLE_CLEAR,
  FILES_RECEIVED,
  FILE_RECEIVED,
  PAIRING_CODE,
  PAIRING_FAILED,
  NO_PAIRING_WAITING,
  NO_CODE_SHOWN,
  NO_CODE_TO_OFFER,
  TAMPERED,
  SECURE_FAILED,
  OPENING_TIMED_OUT,
  PAIRED_ONLY,
  REFUSED_BY_PEER,
  NO_IDENTITY,
  SECURE_FAILED_BECAUSE,
  CONNECTION_REFUSED,
  CONNECTION_DROPPED,
  OPENINGS_FULL,
  ADDRESS_LIMIT,
  MADE_ROOM,
  KEY_NOTICE,
  NEARBY_UNAVAILABLE,
  KEY_UNUSABLE_REFUSED,
  PAIRING_NEEDS_ENCRYPTION,
  PEER_OLDER,
  PEER_NEWER,
  BATCH_DECLINED,
  PEER_DECLINED_BATCH,
  PEER_FILES_REFUSED,
  FILES_REFUSED_CHAT,
  NO_ROOM,
  WHY_USER_DECLINED,
  WHY_NO_ANSWER,
  WHY_ACCEPTS_NONE,
  WHY_PAIRED_FILES_ONLY,
  THREAD_EXISTS,
  WARNING,
  THREAD_FAILED,
  ERROR,
  STATUS_INITIAL,
  TAB_CHAT,
  TAB_SEND_LIST,
  TAB_SEND_LOG,
  TAB_RECV_LOG,
};
inline constexpr std::size_t TEXT_COUNT = static_cast<std::size_t>(TextId::TAB_RECV_LOG) + 1;

struct Catalogue;
// The text in the catalogue chosen at start. Any thread.
[[nodiscard]] const char* ActiveText(TextId id);
// The text in `catalogue`.
[[nodiscard]] const char* TextIn(const Catalogue& catalogue, TextId id);

// A text of the catalogues with the types of the values its conversions take, in order: %d
// an int, %lld a long long, %s a const char*. Each catalogue's entry is checked against them
// as it is compiled, so that FormatLine (port/format.h) can take the values as they are typed.
// A text without conversions stands for its words in the active catalogue.
template <class... Params>
struct Text {
  TextId id;

  [[nodiscard]] const char* get() const { return ActiveText(id); }
  // For what goes to the peer, which reads the same language whatever this side shows.
  [[nodiscard]] const char* In(const Catalogue& catalogue) const { return TextIn(catalogue, id); }

  operator const char*() const requires(sizeof...(Params) == 0) { return get(); }
  operator std::string() const requires(sizeof...(Params) == 0) { return get(); }
  friend bool operator==(std::string_view line, Text text) requires(sizeof...(Params) == 0) {
    return line == text.get();
  }
};

namespace text {

inline constexpr Text<> CAPTION{TextId::CAPTION};

inline constexpr Text<> CONNECT{TextId::CONNECT};
inline constexpr Text<> SEND{TextId::SEND};
inline constexpr Text<> DISCONNECT{TextId::DISCONNECT};

inline constexpr Text<int> WAITING{TextId::WAITING};
inline constexpr Text<> INVALID_IP{TextId::INVALID_IP};
inline constexpr Text<int> CONNECTING{TextId::CONNECTING};
inline constexpr Text<const char*> CONNECTED{TextId::CONNECTED};
inline constexpr Text<> CONNECT_FAILED{TextId::CONNECT_FAILED};
inline constexpr Text<> ACCEPT_FAILED{TextId::ACCEPT_FAILED};
inline constexpr Text<> RULE{TextId::RULE};
inline constexpr Text<> DISCONNECTED{TextId::DISCONNECTED};
// The listening socket could not be set up; the attempt stays open until Disconnect.
inline constexpr Text<int> LISTEN_FAILED{TextId::LISTEN_FAILED};

inline constexpr Text<const char*> SAVING_TO{TextId::SAVING_TO};
inline constexpr Text<const char*> CHAT_SENT{TextId::CHAT_SENT};
inline constexpr Text<const char*> CHAT_RECEIVED{TextId::CHAT_RECEIVED};
inline constexpr Text<const char*> PEER_NAME{TextId::PEER_NAME};

inline constexpr Text<const char*, int> RECEIVING{TextId::RECEIVING};
inline constexpr Text<const char*> CANNOT_CREATE{TextId::CANNOT_CREATE};
inline constexpr Text<> RECEIVE_DONE{TextId::RECEIVE_DONE};
inline constexpr Text<const char*> WRITE_FAILED{TextId::WRITE_FAILED};

inline constexpr Text<const char*> CANNOT_OPEN{TextId::CANNOT_OPEN};
inline constexpr Text<const char*> CANNOT_SEND{TextId::CANNOT_SEND};
inline constexpr Text<const char*> EXISTS{TextId::EXISTS};
inline constexpr Text<const char*, int> SENDING{TextId::SENDING};
inline constexpr Text<int> RESUMING{TextId::RESUMING};
inline constexpr Text<> SEND_DONE{TextId::SEND_DONE};
inline constexpr Text<const char*> READ_FAILED{TextId::READ_FAILED};
inline constexpr Text<const char*> NAME_NOT_SENDABLE{TextId::NAME_NOT_SENDABLE};
inline constexpr Text<const char*> FOLDER_LINK_SKIPPED{TextId::FOLDER_LINK_SKIPPED};
inline constexpr Text<const char*> TOO_LARGE{TextId::TOO_LARGE};

// Extended sessions: which kind of session this is (chat log), sizes beyond 32 bits (the
// same lines as above), and the verification of every file (both logs).
inline constexpr Text<const char*> EXTENDED_SESSION{TextId::EXTENDED_SESSION};
inline constexpr Text<> CLASSIC_SESSION{TextId::CLASSIC_SESSION};
inline constexpr Text<const char*, long long> RECEIVING_LONG{TextId::RECEIVING_LONG};
inline constexpr Text<const char*, long long> SENDING_LONG{TextId::SENDING_LONG};
inline constexpr Text<long long> RESUMING_LONG{TextId::RESUMING_LONG};
inline constexpr Text<> RESTARTING{TextId::RESTARTING};
inline constexpr Text<const char*> VERIFY_RETRY{TextId::VERIFY_RETRY};
inline constexpr Text<const char*> VERIFY_FAILED{TextId::VERIFY_FAILED};

// Files that did not arrive whole (both logs): the bytes the receiver holds, or the bytes
// sent, when the sender gave up or the session ended mid-file; a batch with such files ends
// with the count instead of "受信完了"; a source that changed while it was sent is offered
// once more; the console's last line when queued files were not delivered.
inline constexpr Text<const char*, long long> RECEIVE_ABORTED{TextId::RECEIVE_ABORTED};
inline constexpr Text<const char*, long long> SEND_ABORTED{TextId::SEND_ABORTED};
inline constexpr Text<int> RECEIVE_INCOMPLETE{TextId::RECEIVE_INCOMPLETE};
inline constexpr Text<const char*> CHANGED_RETRY{TextId::CHANGED_RETRY};
inline constexpr Text<const char*> CHANGED_FAILED{TextId::CHANGED_FAILED};
inline constexpr Text<int> NOT_DELIVERED{TextId::NOT_DELIVERED};

// A batch's progress (port/format.h): the files done of the announced total, or without a
// total the files done; the counts come formatted. The summary at a batch's end (both logs,
// extended sessions): files, bytes, time taken, rate.
inline constexpr Text<const char*, const char*> BATCH_FILES_OF{TextId::BATCH_FILES_OF};
inline constexpr Text<const char*> BATCH_FILES{TextId::BATCH_FILES};
inline constexpr Text<const char*, const char*, const char*, const char*> BATCH_SUMMARY{
    TextId::BATCH_SUMMARY};

// A session that ends because the peer broke the wire's rules says why, once (chat log).
inline constexpr Text<const char*> PEER_VIOLATION{TextId::PEER_VIOLATION};
inline constexpr Text<> WHY_LENGTH{TextId::WHY_LENGTH};
inline constexpr Text<> WHY_UNEXPECTED{TextId::WHY_UNEXPECTED};
inline constexpr Text<> WHY_LAYOUT{TextId::WHY_LAYOUT};
inline constexpr Text<> WHY_ORDER{TextId::WHY_ORDER};
inline constexpr Text<> WHY_TOO_MANY{TextId::WHY_TOO_MANY};
inline constexpr Text<const char*> WHY_BEYOND_SIZE{TextId::WHY_BEYOND_SIZE};
inline constexpr Text<const char*> WHY_SHORT{TextId::WHY_SHORT};

// Encrypted sessions and pairing (chat log). The fingerprints are the short forms.
inline constexpr Text<const char*> ENCRYPTED_SESSION{TextId::ENCRYPTED_SESSION};
inline constexpr Text<const char*> OWN_FINGERPRINT{TextId::OWN_FINGERPRINT};
inline constexpr Text<const char*> PEER_PAIRED{TextId::PEER_PAIRED};
inline constexpr Text<const char*> PEER_JUST_PAIRED{TextId::PEER_JUST_PAIRED};
inline constexpr Text<const char*> PEER_NOT_VERIFIED{TextId::PEER_NOT_VERIFIED};
// An encrypted session whose peer gave its name: the program, then the name.
inline constexpr Text<const char*, const char*> ENCRYPTED_SESSION_WITH{
    TextId::ENCRYPTED_SESSION_WITH};
// The connecting side expected a key (fingerprint) and met another (fingerprint) or none.
inline constexpr Text<const char*, const char*> KEY_CHANGED{TextId::KEY_CHANGED};
inline constexpr Text<const char*> NO_LONGER_ENCRYPTS{TextId::NO_LONGER_ENCRYPTS};
// The window's title while a session lasts: the caption, the peer's name (or address), and
// how the session is protected.
inline constexpr Text<const char*, const char*> TITLE_PAIRED{TextId::TITLE_PAIRED};
inline constexpr Text<const char*, const char*> TITLE_NOT_VERIFIED{TextId::TITLE_NOT_VERIFIED};
inline constexpr Text<const char*, const char*> TITLE_CLEAR{TextId::TITLE_CLEAR};
// The desktop's notice of a received batch's end: how many files arrived (one, or more).
inline constexpr Text<long long> FILES_RECEIVED{TextId::FILES_RECEIVED};
inline constexpr Text<> FILE_RECEIVED{TextId::FILE_RECEIVED};
inline constexpr Text<const char*> PAIRING_CODE{TextId::PAIRING_CODE};
inline constexpr Text<> PAIRING_FAILED{TextId::PAIRING_FAILED};
inline constexpr Text<> NO_PAIRING_WAITING{TextId::NO_PAIRING_WAITING};
inline constexpr Text<> NO_CODE_SHOWN{TextId::NO_CODE_SHOWN};
// The user asked for a pairing code while none can be offered.
inline constexpr Text<> NO_CODE_TO_OFFER{TextId::NO_CODE_TO_OFFER};
inline constexpr Text<> TAMPERED{TextId::TAMPERED};
inline constexpr Text<> SECURE_FAILED{TextId::SECURE_FAILED};
inline constexpr Text<> OPENING_TIMED_OUT{TextId::OPENING_TIMED_OUT};
// Sent to the peer, too (in Japanese), where it can read it, before the connection is closed.
inline constexpr Text<> PAIRED_ONLY{TextId::PAIRED_ONLY};
inline constexpr Text<const char*> REFUSED_BY_PEER{TextId::REFUSED_BY_PEER};
inline constexpr Text<const char*> NO_IDENTITY{TextId::NO_IDENTITY};
// The TLS handshake failed; the reason is OpenSSL's, in English.
inline constexpr Text<const char*> SECURE_FAILED_BECAUSE{TextId::SECURE_FAILED_BECAUSE};

// The waiting side: a connection it refused or closed before a session began, with the
// peer's address and why (once a minute per address).
inline constexpr Text<const char*, const char*> CONNECTION_REFUSED{TextId::CONNECTION_REFUSED};
inline constexpr Text<const char*, const char*> CONNECTION_DROPPED{TextId::CONNECTION_DROPPED};
inline constexpr Text<> OPENINGS_FULL{TextId::OPENINGS_FULL};
inline constexpr Text<> ADDRESS_LIMIT{TextId::ADDRESS_LIMIT};
inline constexpr Text<> MADE_ROOM{TextId::MADE_ROOM};
// What loading the key did besides (a key moved aside, a certificate made anew, a warning).
inline constexpr Text<const char*> KEY_NOTICE{TextId::KEY_NOTICE};
inline constexpr Text<const char*> NEARBY_UNAVAILABLE{TextId::NEARBY_UNAVAILABLE};
// Sent to the peer, too (in Japanese), as the refusal above.
inline constexpr Text<> KEY_UNUSABLE_REFUSED{TextId::KEY_UNUSABLE_REFUSED};
inline constexpr Text<> PAIRING_NEEDS_ENCRYPTION{TextId::PAIRING_NEEDS_ENCRYPTION};
// Two encrypted versions never make a session; the peer's program is named.
inline constexpr Text<const char*> PEER_OLDER{TextId::PEER_OLDER};
inline constexpr Text<const char*> PEER_NEWER{TextId::PEER_NEWER};

// Batches the receiver declined: its receive log (files, bytes, why), the sender's send log
// (why, and the files it took off its queue); the peer that cannot announce its batches, once
// per session (receive log, and a chat line to the peer in Japanese). The reasons travel in
// Japanese to the peer, which shows them in its own language when it knows them.
inline constexpr Text<long long, long long, const char*> BATCH_DECLINED{TextId::BATCH_DECLINED};
inline constexpr Text<const char*, long long> PEER_DECLINED_BATCH{TextId::PEER_DECLINED_BATCH};
inline constexpr Text<const char*> PEER_FILES_REFUSED{TextId::PEER_FILES_REFUSED};
inline constexpr Text<const char*> FILES_REFUSED_CHAT{TextId::FILES_REFUSED_CHAT};
// Megabytes (10^6 bytes) still needed, rounded up, and free, rounded down.
inline constexpr Text<long long, long long> NO_ROOM{TextId::NO_ROOM};
inline constexpr Text<> WHY_USER_DECLINED{TextId::WHY_USER_DECLINED};
inline constexpr Text<> WHY_NO_ANSWER{TextId::WHY_NO_ANSWER};
inline constexpr Text<> WHY_ACCEPTS_NONE{TextId::WHY_ACCEPTS_NONE};
inline constexpr Text<> WHY_PAIRED_FILES_ONLY{TextId::WHY_PAIRED_FILES_ONLY};

inline constexpr Text<> THREAD_EXISTS{TextId::THREAD_EXISTS};
inline constexpr Text<> WARNING{TextId::WARNING};
inline constexpr Text<> THREAD_FAILED{TextId::THREAD_FAILED};
inline constexpr Text<> ERROR{TextId::ERROR};

inline constexpr Text<> STATUS_INITIAL{TextId::STATUS_INITIAL};
inline constexpr Text<> TAB_CHAT{TextId::TAB_CHAT};
inline constexpr Text<> TAB_SEND_LIST{TextId::TAB_SEND_LIST};
inline constexpr Text<> TAB_SEND_LOG{TextId::TAB_SEND_LOG};
inline constexpr Text<> TAB_RECV_LOG{TextId::TAB_RECV_LOG};

}  // namespace text
}  // namespace tovrin
