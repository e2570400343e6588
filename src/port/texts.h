#pragma once

// The program's own texts, shown exactly as they stand.
namespace tovrin::text {

inline constexpr char kCaption[] = "Tovrin 0.7";

inline constexpr char kConnect[] = "接続";
inline constexpr char kSend[] = "送信";
inline constexpr char kDisconnect[] = "切断";

inline constexpr char kWaiting[] = "接続を待っています... (port %d)";
inline constexpr char kInvalidIp[] = "IPが不正です";
inline constexpr char kConnecting[] = "接続しています... (port %d)";
inline constexpr char kConnected[] = "接続しました [%s]";
inline constexpr char kConnectFailed[] = "接続失敗";
inline constexpr char kAcceptFailed[] = "接続に失敗しました";
inline constexpr char kRule[] = "----------------";
inline constexpr char kDisconnected[] = "切断しました";
// The listening socket could not be set up; the attempt stays open until Disconnect.
inline constexpr char kListenFailed[] = "待ち受けできません (port %d)";

inline constexpr char kSavingTo[] = "保存先 [%s]";
inline constexpr char kChatSent[] = "send > %s";
inline constexpr char kChatReceived[] = "recv > %s";
inline constexpr char kPeerName[] = "name > %s";

inline constexpr char kReceiving[] = "受信中 [%s] (%d bytes)";
inline constexpr char kCannotCreate[] = "ファイルが作成できません [%s]";
inline constexpr char kReceiveDone[] = "受信完了";
inline constexpr char kWriteFailed[] = "書き込みに失敗しました [%s]";

inline constexpr char kCannotOpen[] = "ファイルを開けません [%s]";
inline constexpr char kCannotSend[] = "送信不能 [%s]";
inline constexpr char kExists[] = "送信先が存在 [%s]";
inline constexpr char kSending[] = "送信中 [%s] (%d bytes)";
inline constexpr char kResuming[] = "(%d バイトよりレジューム)";
inline constexpr char kSendDone[] = "送信完了";
inline constexpr char kReadFailed[] = "読み込みに失敗しました [%s]";
inline constexpr char kNameNotSendable[] = "ファイル名を送信できません [%s]";
inline constexpr char kFolderLinkSkipped[] = "フォルダへのリンクは送信しません [%s]";
inline constexpr char kTooLarge[] = "2GB以上のファイルは送信できません [%s]";

// Extended sessions: which kind of session this is (chat log), sizes beyond 32 bits (the
// same lines as above), and the verification of every file (both logs).
inline constexpr char kExtendedSession[] = "拡張セッション [%s] (暗号化されていません)";
inline constexpr char kClassicSession[] = "標準セッション (暗号化されていません)";
inline constexpr char kReceivingLong[] = "受信中 [%s] (%lld bytes)";
inline constexpr char kSendingLong[] = "送信中 [%s] (%lld bytes)";
inline constexpr char kResumingLong[] = "(%lld バイトよりレジューム)";
inline constexpr char kRestarting[] = "(送信先の内容が異なるため最初から送信)";
inline constexpr char kVerifyRetry[] = "検証に失敗したため再送します [%s]";
inline constexpr char kVerifyFailed[] = "検証に失敗しました [%s]";

// Encrypted sessions and pairing (chat log). The fingerprints are the short forms.
inline constexpr char kEncryptedSession[] = "暗号化セッション [%s]";
inline constexpr char kOwnFingerprint[] = "自分の指紋: %s";
inline constexpr char kPeerPaired[] = "相手の指紋: %s (ペアリング済み)";
inline constexpr char kPeerJustPaired[] = "相手の指紋: %s (ペアリングしました)";
inline constexpr char kPeerNotVerified[] = "相手の指紋: %s (確認されていません)";
inline constexpr char kPairingCode[] = "ペアリングコード: %s (2分間有効)";
inline constexpr char kPairingFailed[] = "ペアリングに失敗しました: コードが違います";
inline constexpr char kNoPairingWaiting[] = "ペアリングに失敗しました: 相手はコードを待っていません";
inline constexpr char kTampered[] = "接続が改ざんされています";
inline constexpr char kSecureFailed[] = "暗号化を開始できません";
inline constexpr char kOpeningTimedOut[] = "接続の確認が時間内に終わりませんでした";
// Sent to the peer, too, where it can read it, before the connection is closed.
inline constexpr char kPairedOnly[] = "ペアリング済みの相手とだけ接続します";
inline constexpr char kRefusedByPeer[] = "相手に拒否されました: %s";
inline constexpr char kNoIdentity[] = "鍵を用意できません (暗号化なし): %s";

inline constexpr char kThreadExists[] = "このThreadは既に作られています。";
inline constexpr char kWarning[] = "警告";
inline constexpr char kThreadFailed[] = "スレッドが作れませんでした";
inline constexpr char kError[] = "エラー";

inline constexpr char kStatusInitial[] = "送/受";
inline constexpr char kTabChat[] = "チャット";
inline constexpr char kTabSendList[] = "送信リスト";
inline constexpr char kTabSendLog[] = "送信ログ";
inline constexpr char kTabRecvLog[] = "受信ログ";

}  // namespace tovrin::text
