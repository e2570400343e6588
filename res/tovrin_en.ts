<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>Tovrin</name>
    <message>
        <source>接続</source>
        <translation>Go</translation>
    </message>
    <message>
        <source>送信</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>切断</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>送/受</source>
        <translation>Send/Recv</translation>
    </message>
    <message>
        <source>チャット</source>
        <translation>Chat</translation>
    </message>
    <message>
        <source>送信リスト</source>
        <translation>Send list</translation>
    </message>
    <message>
        <source>送信ログ</source>
        <translation>Send log</translation>
    </message>
    <message>
        <source>受信ログ</source>
        <translation>Receive log</translation>
    </message>
    <message>
        <source>受信したファイルを、送り手のフォルダごとのサブフォルダに保存します</source>
        <translation>Save received files in a subfolder for each of the sender's folders</translation>
    </message>
    <message>
        <source>フォルダごとに保存</source>
        <translation>Save per folder</translation>
    </message>
    <message>
        <source>送信中のファイルの進み具合</source>
        <translation>Progress of the file being sent</translation>
    </message>
    <message>
        <source>送信の進み具合</source>
        <translation>Sending progress</translation>
    </message>
    <message>
        <source>受信中のファイルの進み具合</source>
        <translation>Progress of the file being received</translation>
    </message>
    <message>
        <source>受信の進み具合</source>
        <translation>Receiving progress</translation>
    </message>
    <message>
        <source>ファイルを追加...</source>
        <translation>Add Files...</translation>
    </message>
    <message>
        <source>フォルダを追加...</source>
        <translation>Add Folder...</translation>
    </message>
    <message>
        <source>貼り付け</source>
        <translation>Paste</translation>
    </message>
    <message>
        <source>フォルダを開く</source>
        <translation>Open Folder</translation>
    </message>
    <message>
        <source>フォルダではありません [%1]</source>
        <translation>Not a folder [%1]</translation>
    </message>
    <message>
        <source>フォルダを開くアプリケーションが見つかりません [%1]</source>
        <translation>No application was found to open the folder [%1]</translation>
    </message>
    <message>
        <source>標準の通信のみ (拡張なし)</source>
        <translation>Classic Wire Only (No Extensions)</translation>
    </message>
    <message>
        <source>ペアリング済みの相手のみ</source>
        <translation>Paired Peers Only</translation>
    </message>
    <message>
        <source>ペアリング済みの相手...</source>
        <translation>Paired Peers...</translation>
    </message>
    <message>
        <source>ペアリング</source>
        <translation>Pairing</translation>
    </message>
    <message>
        <source>ペアリングする</source>
        <translation>Pair</translation>
    </message>
    <message>
        <source>相手の画面に表示されている%1桁のペアリングコードを入力してください。</source>
        <translation>Enter the %1-digit pairing code shown on the peer's screen.</translation>
    </message>
    <message>
        <source>相手の指紋: %1</source>
        <translation>Peer's fingerprint: %1</translation>
    </message>
    <message>
        <source>コードがなければペアリングせずに接続できます。相手は確認されません。</source>
        <translation>Without a code you can connect without pairing; the peer is then not verified.</translation>
    </message>
    <message>
        <source>ペアリングコード</source>
        <translation>Pairing code</translation>
    </message>
    <message>
        <source>ペアリングせずに接続</source>
        <translation>Connect Without Pairing</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>ペアリング済みの相手</source>
        <translation>Paired Peers</translation>
    </message>
    <message>
        <source>自分の指紋: %1</source>
        <translation>Own fingerprint: %1</translation>
    </message>
    <message>
        <source>指紋</source>
        <translation>Fingerprint</translation>
    </message>
    <message>
        <source>ペアリングした日</source>
        <translation>Paired on</translation>
    </message>
    <message>
        <source>相手</source>
        <translation>Peer</translation>
    </message>
    <message>
        <source>忘れる</source>
        <translation>Forget</translation>
    </message>
    <message>
        <source>選んだ相手とのペアリングを解きます。次からはコードが必要です。</source>
        <translation>Forgets the selected peer: connecting to it needs a pairing code again.</translation>
    </message>
    <message>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>ペアリング済みの相手の記録を書き換えられません</source>
        <translation>Cannot rewrite the list of paired peers</translation>
    </message>
    <message>
        <source>接続を待っています... (port %d)</source>
        <translation>Waiting for a connection... (port %d)</translation>
    </message>
    <message>
        <source>IPが不正です</source>
        <translation>Invalid IP address</translation>
    </message>
    <message>
        <source>接続しています... (port %d)</source>
        <translation>Connecting... (port %d)</translation>
    </message>
    <message>
        <source>接続しました [%s]</source>
        <translation>Connected [%s]</translation>
    </message>
    <message>
        <source>接続失敗</source>
        <translation>Connection failed</translation>
    </message>
    <message>
        <source>接続に失敗しました</source>
        <translation>Could not accept the connection</translation>
    </message>
    <message>
        <source>切断しました</source>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>待ち受けできません (port %d)</source>
        <translation>Cannot listen (port %d)</translation>
    </message>
    <message>
        <source>保存先 [%s]</source>
        <translation>Saving to [%s]</translation>
    </message>
    <message>
        <source>受信中 [%s] (%d bytes)</source>
        <translation>Receiving [%s] (%d bytes)</translation>
    </message>
    <message>
        <source>ファイルが作成できません [%s]</source>
        <translation>Cannot create the file [%s]</translation>
    </message>
    <message>
        <source>受信完了</source>
        <translation>Receive complete</translation>
    </message>
    <message>
        <source>書き込みに失敗しました [%s]</source>
        <translation>Write failed [%s]</translation>
    </message>
    <message>
        <source>ファイルを開けません [%s]</source>
        <translation>Cannot open the file [%s]</translation>
    </message>
    <message>
        <source>送信不能 [%s]</source>
        <translation>Cannot send [%s]</translation>
    </message>
    <message>
        <source>送信先が存在 [%s]</source>
        <translation>Already at the receiver [%s]</translation>
    </message>
    <message>
        <source>送信中 [%s] (%d bytes)</source>
        <translation>Sending [%s] (%d bytes)</translation>
    </message>
    <message>
        <source>(%d バイトよりレジューム)</source>
        <translation>(resuming from byte %d)</translation>
    </message>
    <message>
        <source>送信完了</source>
        <translation>Send complete</translation>
    </message>
    <message>
        <source>読み込みに失敗しました [%s]</source>
        <translation>Read failed [%s]</translation>
    </message>
    <message>
        <source>ファイル名を送信できません [%s]</source>
        <translation>Cannot send the file name [%s]</translation>
    </message>
    <message>
        <source>フォルダへのリンクは送信しません [%s]</source>
        <translation>Links to folders are not sent [%s]</translation>
    </message>
    <message>
        <source>2GB以上のファイルは送信できません [%s]</source>
        <translation>Files of 2 GB or more cannot be sent [%s]</translation>
    </message>
    <message>
        <source>拡張セッション [%s] (暗号化されていません)</source>
        <translation>Extended session [%s] (not encrypted)</translation>
    </message>
    <message>
        <source>標準セッション (暗号化されていません)</source>
        <translation>Classic session (not encrypted)</translation>
    </message>
    <message>
        <source>(送信先の内容が異なるため最初から送信)</source>
        <translation>(sending from the start: the receiver's copy differs)</translation>
    </message>
    <message>
        <source>検証に失敗したため再送します [%s]</source>
        <translation>Verification failed, sending again [%s]</translation>
    </message>
    <message>
        <source>検証に失敗しました [%s]</source>
        <translation>Verification failed [%s]</translation>
    </message>
    <message>
        <source>受信中断 [%s] (%lld bytes)</source>
        <translation>Incomplete [%s] (%lld bytes received)</translation>
    </message>
    <message>
        <source>送信中断 [%s] (%lld bytes)</source>
        <translation>Sending stopped [%s] (%lld bytes sent)</translation>
    </message>
    <message>
        <source>受信終了 (%d 個のファイルを受信できませんでした)</source>
        <translation>Receiving finished (%d files not received)</translation>
    </message>
    <message>
        <source>送信中に変更されたため再送します [%s]</source>
        <translation>Changed while being sent, sending again [%s]</translation>
    </message>
    <message>
        <source>送信中に変更されました [%s]</source>
        <translation>Changed while being sent [%s]</translation>
    </message>
    <message>
        <source>%d 個のファイルを送信できませんでした</source>
        <translation>%d files not delivered</translation>
    </message>
    <message>
        <source>相手の送信が不正です: %s</source>
        <translation>The peer broke the protocol: %s</translation>
    </message>
    <message>
        <source>メッセージの長さが不正です</source>
        <translation>a message of an invalid length</translation>
    </message>
    <message>
        <source>このセッションでは使えないメッセージです</source>
        <translation>a message not allowed in this session</translation>
    </message>
    <message>
        <source>メッセージの形式が不正です</source>
        <translation>a malformed message</translation>
    </message>
    <message>
        <source>メッセージの順序が不正です</source>
        <translation>a message out of order</translation>
    </message>
    <message>
        <source>応答を待つファイルが多すぎます</source>
        <translation>too many files waiting for an answer</translation>
    </message>
    <message>
        <source>申告されたサイズを超えるデータです [%s]</source>
        <translation>data beyond the offered size [%s]</translation>
    </message>
    <message>
        <source>申告されたサイズに満たないまま完了しました [%s]</source>
        <translation>completed short of the offered size [%s]</translation>
    </message>
    <message>
        <source>暗号化セッション [%s]</source>
        <translation>Encrypted session [%s]</translation>
    </message>
    <message>
        <source>自分の指紋: %s</source>
        <translation>Own fingerprint: %s</translation>
    </message>
    <message>
        <source>相手の指紋: %s (ペアリング済み)</source>
        <translation>Peer's fingerprint: %s (paired)</translation>
    </message>
    <message>
        <source>相手の指紋: %s (ペアリングしました)</source>
        <translation>Peer's fingerprint: %s (paired now)</translation>
    </message>
    <message>
        <source>相手の指紋: %s (確認されていません)</source>
        <translation>Peer's fingerprint: %s (not verified)</translation>
    </message>
    <message>
        <source>ペアリングコード: %s (2分間有効)</source>
        <translation>Pairing code: %s (valid for 2 minutes)</translation>
    </message>
    <message>
        <source>ペアリングに失敗しました: コードが違います</source>
        <translation>Pairing failed: wrong code</translation>
    </message>
    <message>
        <source>ペアリングに失敗しました: 相手はコードを待っていません</source>
        <translation>Pairing failed: the peer is not waiting for a code</translation>
    </message>
    <message>
        <source>ペアリングに失敗しました: コードは表示されていません</source>
        <translation>Pairing failed: no code is shown</translation>
    </message>
    <message>
        <source>接続が改ざんされています</source>
        <translation>The connection was tampered with</translation>
    </message>
    <message>
        <source>暗号化を開始できません</source>
        <translation>Cannot start encryption</translation>
    </message>
    <message>
        <source>接続の確認が時間内に終わりませんでした</source>
        <translation>The connection was not confirmed in time</translation>
    </message>
    <message>
        <source>ペアリング済みの相手とだけ接続します</source>
        <translation>Only paired peers may connect</translation>
    </message>
    <message>
        <source>相手に拒否されました: %s</source>
        <translation>Refused by the peer: %s</translation>
    </message>
    <message>
        <source>鍵を用意できません (暗号化なし): %s</source>
        <translation>No key (no encryption): %s</translation>
    </message>
    <message>
        <source>暗号化を開始できません: %s</source>
        <translation>Cannot start encryption: %s</translation>
    </message>
    <message>
        <source>接続を拒否しました [%s]: %s</source>
        <translation>Refused a connection [%s]: %s</translation>
    </message>
    <message>
        <source>接続を切りました [%s]: %s</source>
        <translation>Closed a connection [%s]: %s</translation>
    </message>
    <message>
        <source>接続の確認待ちがいっぱいです</source>
        <translation>Too many connections are being confirmed</translation>
    </message>
    <message>
        <source>同じアドレスからの接続が多すぎます</source>
        <translation>Too many connections from the same address</translation>
    </message>
    <message>
        <source>暗号化の開始前に新しい接続へ順番を譲りました</source>
        <translation>Made room for a newer connection before encryption had started</translation>
    </message>
    <message>
        <source>鍵: %s</source>
        <translation>Key: %s</translation>
    </message>
    <message>
        <source>鍵が使えないため、ペアリング済みの相手がある間は暗号化されていない拡張セッションを行いません: 起動時に表示された鍵の問題を直して起動し直すか、標準セッションに切り替えてください</source>
        <translation>The key cannot be used, so no unencrypted extended session is made while there are paired peers: fix the key problem shown at start and start again, or switch to the classic session</translation>
    </message>
    <message>
        <source>ペアリングコードが指定されているため、暗号化されていないセッションは行いません</source>
        <translation>A pairing code was given, so no unencrypted session is made</translation>
    </message>
    <message>
        <source>相手の Tovrin は古い版です [%s]: 両方を更新してください</source>
        <translation>The peer's Tovrin is older [%s]: update both</translation>
    </message>
    <message>
        <source>相手の Tovrin は新しい版です [%s]: 両方を更新してください</source>
        <translation>The peer's Tovrin is newer [%s]: update both</translation>
    </message>
    <message>
        <source>このThreadは既に作られています。</source>
        <translation>This thread has already been created.</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>スレッドが作れませんでした</source>
        <translation>Could not create a thread</translation>
    </message>
    <message>
        <source>エラー</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>相手のアドレスに接続します。自分のアドレスなら相手からの接続を待ちます。接続中は入力した行を送信します。</source>
        <translation>Connects to the peer's address, or waits for the peer when the address is your own. While connected, sends the line you typed.</translation>
    </message>
    <message>
        <source>接続を終えます</source>
        <translation>Ends the connection</translation>
    </message>
</context>
</TS>
