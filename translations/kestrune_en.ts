<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- English for the program's Japanese texts. Its other texts are English
     as they stand and need no translation. Compiled by the build. -->
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>TIniFile</name>
    <message>
        <source>%1 に書き込めません</source>
        <translation>%1 cannot be written</translation>
    </message>
</context>
<context>
    <name>TMediaPlayer</name>
    <message>
        <source>MCI デバイスがありません</source>
        <translation>There is no MCI device</translation>
    </message>
    <message>
        <source>原因不明のエラー</source>
        <translation>An error of unknown cause</translation>
    </message>
</context>
<context>
    <name>TApplication</name>
    <message>
        <source>原因不明のエラー</source>
        <translation>An error of unknown cause</translation>
    </message>
</context>
<context>
    <name>TTimer</name>
    <message>
        <source>タイマーを取得できません</source>
        <translation>No timer can be had</translation>
    </message>
</context>
<context>
    <name>EInOutError</name>
    <message>
        <source>ファイルが見つかりません</source>
        <translation>The file cannot be found</translation>
    </message>
    <message>
        <source>不正なファイル名です</source>
        <translation>The file name is not valid</translation>
    </message>
    <message>
        <source>オープンしたファイルが多すぎます</source>
        <translation>Too many files are open</translation>
    </message>
    <message>
        <source>ファイルへのアクセスが拒否されました</source>
        <translation>Access to the file is denied</translation>
    </message>
    <message>
        <source>ディスクがいっぱいです</source>
        <translation>The disk is full</translation>
    </message>
    <message>
        <source>I/O エラー (%1)</source>
        <translation>I/O error (%1)</translation>
    </message>
</context>
</TS>
