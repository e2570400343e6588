<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>Tovrin</name>
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
        <source>ペアリングコードを表示</source>
        <translation>Show Pairing Code</translation>
    </message>
    <message>
        <source>接続が終わっても待ち続ける</source>
        <translation>Keep Waiting After a Session</translation>
    </message>
    <message>
        <source>この端末の名前...</source>
        <translation>Name of This Installation...</translation>
    </message>
    <message>
        <source>この端末の名前</source>
        <translation>Name of This Installation</translation>
    </message>
    <message>
        <source>相手に見える名前です。空にすると %1 に戻ります。</source>
        <translation>The name your peers see. Left empty, it is %1 again.</translation>
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
        <source>相手にペアリングコードを表示してもらい、その%1桁のコードを入力してください。</source>
        <translation>Ask the peer to show a pairing code, then enter its %1 digits.</translation>
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
        <source>%1 とのペアリングを解きますか？次からはコードが必要です。</source>
        <translation>Forget %1? Connecting to this peer needs a pairing code again.</translation>
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
        <source>相手のアドレスに接続します。自分のアドレスなら相手からの接続を待ちます。接続中は入力した行を送信します。</source>
        <translation>Connects to the peer's address, or waits for the peer when the address is your own. While connected, sends the line you typed.</translation>
    </message>
    <message>
        <source>接続を終えます</source>
        <translation>Ends the connection</translation>
    </message>
    <message>
        <source>ペアリング済みの相手</source>
        <translation>Paired peer</translation>
    </message>
    <message>
        <source>ペアリング済みの相手の名前ですが、鍵が違います</source>
        <translation>Has the name of a paired peer, but another key</translation>
    </message>
    <message>
        <source>最近入力したアドレス</source>
        <translation>An address you typed recently</translation>
    </message>
    <message>
        <source>近くの相手にこちらを知らせる</source>
        <translation>Announce to nearby peers</translation>
    </message>
    <message>
        <source>ペアリング済みの相手からは確認せずに受け取る</source>
        <translation>Receive from paired peers without asking</translation>
    </message>
    <message>
        <source>ファイルの受信</source>
        <translation>Incoming files</translation>
    </message>
    <message>
        <source>%1 がファイルを送ろうとしています</source>
        <translation>%1 wants to send you files</translation>
    </message>
    <message>
        <source>この相手は送るファイルを前もって知らせられません。
答えはこの接続の間ずっと有効です。</source>
        <translation>This peer cannot tell its batch in advance.
Your answer holds for the whole session.</translation>
    </message>
    <message>
        <source>ファイル数: %1 · 合計: %2</source>
        <translation>Files: %1 · Total: %2</translation>
    </message>
    <message>
        <source>含まれるもの:</source>
        <translation>Contents:</translation>
    </message>
    <message>
        <source>最初のファイル:</source>
        <translation>First file:</translation>
    </message>
    <message>
        <source>ほか %1 件</source>
        <translation>and %1 more</translation>
    </message>
    <message>
        <source>受け取る</source>
        <translation>Accept</translation>
    </message>
    <message>
        <source>断る</source>
        <translation>Decline</translation>
    </message>
    <message>
        <source>表示</source>
        <translation>Show</translation>
    </message>
    <message>
        <source>終了</source>
        <translation>Quit</translation>
    </message>
</context>
</TS>
