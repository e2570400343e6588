#pragma once

// The program's own texts, shown exactly as they stand.
namespace tovrin::text {

inline constexpr char CAPTION[] = "Tovrin 0.7";

inline constexpr char CONNECT[] = "接続";
inline constexpr char SEND[] = "送信";
inline constexpr char DISCONNECT[] = "切断";

inline constexpr char WAITING[] = "接続を待っています... (port %d)";
inline constexpr char INVALID_IP[] = "IPが不正です";
inline constexpr char CONNECTING[] = "接続しています... (port %d)";
inline constexpr char CONNECTED[] = "接続しました [%s]";
inline constexpr char CONNECT_FAILED[] = "接続失敗";
inline constexpr char ACCEPT_FAILED[] = "接続に失敗しました";
inline constexpr char RULE[] = "----------------";
inline constexpr char DISCONNECTED[] = "切断しました";
// The listening socket could not be set up; the attempt stays open until Disconnect.
inline constexpr char LISTEN_FAILED[] = "待ち受けできません (port %d)";

inline constexpr char SAVING_TO[] = "保存先 [%s]";
inline constexpr char CHAT_SENT[] = "send > %s";
inline constexpr char CHAT_RECEIVED[] = "recv > %s";
inline constexpr char PEER_NAME[] = "name > %s";

inline constexpr char RECEIVING[] = "受信中 [%s] (%d bytes)";
inline constexpr char CANNOT_CREATE[] = "ファイルが作成できません [%s]";
inline constexpr char RECEIVE_DONE[] = "受信完了";
inline constexpr char WRITE_FAILED[] = "書き込みに失敗しました [%s]";

inline constexpr char CANNOT_OPEN[] = "ファイルを開けません [%s]";
inline constexpr char CANNOT_SEND[] = "送信不能 [%s]";
inline constexpr char EXISTS[] = "送信先が存在 [%s]";
inline constexpr char SENDING[] = "送信中 [%s] (%d bytes)";
inline constexpr char RESUMING[] = "(%d バイトよりレジューム)";
inline constexpr char SEND_DONE[] = "送信完了";
inline constexpr char READ_FAILED[] = "読み込みに失敗しました [%s]";
inline constexpr char NAME_NOT_SENDABLE[] = "ファイル名を送信できません [%s]";
inline constexpr char FOLDER_LINK_SKIPPED[] = "フォルダへのリンクは送信しません [%s]";
inline constexpr char TOO_LARGE[] = "2GB以上のファイルは送信できません [%s]";

// Extended sessions: which kind of session this is (chat log), sizes beyond 32 bits (the
// same lines as above), and the verification of every file (both logs).
inline constexpr char EXTENDED_SESSION[] = "拡張セッション [%s] (暗号化されていません)";
inline constexpr char CLASSIC_SESSION[] = "標準セッション (暗号化されていません)";
inline constexpr char RECEIVING_LONG[] = "受信中 [%s] (%lld bytes)";
inline constexpr char SENDING_LONG[] = "送信中 [%s] (%lld bytes)";
inline constexpr char RESUMING_LONG[] = "(%lld バイトよりレジューム)";
inline constexpr char RESTARTING[] = "(送信先の内容が異なるため最初から送信)";
inline constexpr char VERIFY_RETRY[] = "検証に失敗したため再送します [%s]";
inline constexpr char VERIFY_FAILED[] = "検証に失敗しました [%s]";

// Files that did not arrive whole (both logs): the bytes the receiver holds, or the bytes
// sent, when the sender gave up or the session ended mid-file; a batch with such files ends
// with the count instead of "受信完了"; a source that changed while it was sent is offered
// once more; the console's last line when queued files were not delivered.
inline constexpr char RECEIVE_ABORTED[] = "受信中断 [%s] (%lld bytes)";
inline constexpr char SEND_ABORTED[] = "送信中断 [%s] (%lld bytes)";
inline constexpr char RECEIVE_INCOMPLETE[] = "受信終了 (%d 個のファイルを受信できませんでした)";
inline constexpr char CHANGED_RETRY[] = "送信中に変更されたため再送します [%s]";
inline constexpr char CHANGED_FAILED[] = "送信中に変更されました [%s]";
inline constexpr char NOT_DELIVERED[] = "%d 個のファイルを送信できませんでした";

// A session that ends because the peer broke the wire's rules says why, once (chat log).
inline constexpr char PEER_VIOLATION[] = "相手の送信が不正です: %s";
inline constexpr char WHY_LENGTH[] = "メッセージの長さが不正です";
inline constexpr char WHY_UNEXPECTED[] = "このセッションでは使えないメッセージです";
inline constexpr char WHY_LAYOUT[] = "メッセージの形式が不正です";
inline constexpr char WHY_ORDER[] = "メッセージの順序が不正です";
inline constexpr char WHY_TOO_MANY[] = "応答を待つファイルが多すぎます";
inline constexpr char WHY_BEYOND_SIZE[] = "申告されたサイズを超えるデータです [%s]";
inline constexpr char WHY_SHORT[] = "申告されたサイズに満たないまま完了しました [%s]";

// Encrypted sessions and pairing (chat log). The fingerprints are the short forms.
inline constexpr char ENCRYPTED_SESSION[] = "暗号化セッション [%s]";
inline constexpr char OWN_FINGERPRINT[] = "自分の指紋: %s";
inline constexpr char PEER_PAIRED[] = "相手の指紋: %s (ペアリング済み)";
inline constexpr char PEER_JUST_PAIRED[] = "相手の指紋: %s (ペアリングしました)";
inline constexpr char PEER_NOT_VERIFIED[] = "相手の指紋: %s (確認されていません)";
inline constexpr char PAIRING_CODE[] = "ペアリングコード: %s (2分間有効)";
inline constexpr char PAIRING_FAILED[] = "ペアリングに失敗しました: コードが違います";
inline constexpr char NO_PAIRING_WAITING[] = "ペアリングに失敗しました: 相手はコードを待っていません";
inline constexpr char NO_CODE_SHOWN[] = "ペアリングに失敗しました: コードは表示されていません";
inline constexpr char TAMPERED[] = "接続が改ざんされています";
inline constexpr char SECURE_FAILED[] = "暗号化を開始できません";
inline constexpr char OPENING_TIMED_OUT[] = "接続の確認が時間内に終わりませんでした";
// Sent to the peer, too, where it can read it, before the connection is closed.
inline constexpr char PAIRED_ONLY[] = "ペアリング済みの相手とだけ接続します";
inline constexpr char REFUSED_BY_PEER[] = "相手に拒否されました: %s";
inline constexpr char NO_IDENTITY[] = "鍵を用意できません (暗号化なし): %s";
// The TLS handshake failed; the reason is OpenSSL's, in English.
inline constexpr char SECURE_FAILED_BECAUSE[] = "暗号化を開始できません: %s";

// The waiting side: a connection it refused or closed before a session began, with the
// peer's address and why (once a minute per address).
inline constexpr char CONNECTION_REFUSED[] = "接続を拒否しました [%s]: %s";
inline constexpr char CONNECTION_DROPPED[] = "接続を切りました [%s]: %s";
inline constexpr char OPENINGS_FULL[] = "接続の確認待ちがいっぱいです";
inline constexpr char ADDRESS_LIMIT[] = "同じアドレスからの接続が多すぎます";
inline constexpr char MADE_ROOM[] = "暗号化の開始前に新しい接続へ順番を譲りました";
// What loading the key did besides (a key moved aside, a certificate made anew, a warning).
inline constexpr char KEY_NOTICE[] = "鍵: %s";
// Sent to the peer, too, as the refusal above.
inline constexpr char KEY_UNUSABLE_REFUSED[] =
    "鍵が使えないため、ペアリング済みの相手がある間は暗号化されていない拡張セッションを行いません: "
    "起動時に表示された鍵の問題を直して起動し直すか、標準セッションに切り替えてください";
inline constexpr char PAIRING_NEEDS_ENCRYPTION[] =
    "ペアリングコードが指定されているため、暗号化されていないセッションは行いません";
// Two encrypted versions never make a session; the peer's program is named.
inline constexpr char PEER_OLDER[] = "相手の Tovrin は古い版です [%s]: 両方を更新してください";
inline constexpr char PEER_NEWER[] = "相手の Tovrin は新しい版です [%s]: 両方を更新してください";

inline constexpr char THREAD_EXISTS[] = "このThreadは既に作られています。";
inline constexpr char WARNING[] = "警告";
inline constexpr char THREAD_FAILED[] = "スレッドが作れませんでした";
inline constexpr char ERROR[] = "エラー";

inline constexpr char STATUS_INITIAL[] = "送/受";
inline constexpr char TAB_CHAT[] = "チャット";
inline constexpr char TAB_SEND_LIST[] = "送信リスト";
inline constexpr char TAB_SEND_LOG[] = "送信ログ";
inline constexpr char TAB_RECV_LOG[] = "受信ログ";

}  // namespace tovrin::text
