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
        <source>標準の通信のみ (拡張なし)</source>
        <translation>Classic Wire Only (No Extensions)</translation>
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
