<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de" sourcelanguage="zh_CN">
<context>
    <name>SerialUpdata</name>
    <message>
        <source>-&gt;升级完成</source>
        <translation>-&gt;Update abgeschlossen</translation>
    </message>
    <message>
        <source>-&gt;已连接</source>
        <translation>-&gt;Verbunden</translation>
    </message>
    <message>
        <source>-&gt;已连接，请重新升级</source>
        <translation>-&gt;Verbunden. Bitte erneut update</translation>
    </message>
    <message>
        <source>-&gt;连接失败</source>
        <translation>-&gt;Verbindung fehlgeschlagen</translation>
    </message>
    <message>
        <source>China</source>
        <translation>简体中文</translation>
    </message>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Error Message</source>
        <translation>Fehler bei der Information</translation>
    </message>
    <message>
        <source>File Open Error</source>
        <translation>Fehler beim Öffnen der Datei</translation>
    </message>
    <message>
        <source>Germany</source>
        <translation>Deutsche</translation>
    </message>
    <message>
        <source>Japan</source>
        <translation>日本語</translation>
    </message>
    <message>
        <source>MainWindow</source>
        <translation>Pelmar Firmware Update Tool</translation>
    </message>
    <message>
        <source>串口名称</source>
        <translation>Serielle Schnittstelle</translation>
    </message>
    <message>
        <source>串口打开失败</source>
        <translation>Fehler beim Öffnen der seriellen Schnittstelle</translation>
    </message>
    <message>
        <source>升级</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>升级信息</source>
        <translation>Update-Information</translation>
    </message>
    <message>
        <source>升级失败，请重新升级</source>
        <translation>Update fehlgeschlagen. Bitte erneut update</translation>
    </message>
    <message>
        <source>固件信息</source>
        <translation>Firmware-Information</translation>
    </message>
    <message>
        <source>固件版本:</source>
        <translation>Firmware-Version:</translation>
    </message>
    <message>
        <source>固件路径</source>
        <translation>Firmware-Pfad</translation>
    </message>
    <message>
        <source>固件错误</source>
        <translation>Firmware Fehler</translation>
    </message>
    <message>
        <source>开始升级，固件正在传输</source>
        <translation>Update gestartet. Firmware wird übertragen</translation>
    </message>
    <message>
        <source>打开串口失败</source>
        <translation>Fehler beim Öffnen der seriellen Schnittstelle</translation>
    </message>
    <message>
        <source>数据包</source>
        <translation>Datenpaket</translation>
    </message>
    <message>
        <source>数据包解析失败，重新传输数据包</source>
        <translation>Fehler beim Parsen des Datenpakets. Bitte erneut übertragen</translation>
    </message>
    <message>
        <source>数据包解析成功</source>
        <translation>Parsen des Datenpakets ist erfolgreich</translation>
    </message>
    <message>
        <source>数据包解析错误，请重新传输</source>
        <translation>Fehler beim Parsen des Datenpakets. Bitte erneut übertragen</translation>
    </message>
    <message>
        <source>断开连接</source>
        <translation>Trennen</translation>
    </message>
    <message>
        <source>正在连接</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>正在连接...</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Baudrate</translation>
    </message>
    <message>
        <source>浏览</source>
        <translation>Durchsuchen</translation>
    </message>
    <message>
        <source>设备名称:</source>
        <translation>Gerätename:</translation>
    </message>
    <message>
        <source>设备序列号:</source>
        <translation>Seriennummer des Geräts:</translation>
    </message>
    <message>
        <source>设备无响应，请重新升级</source>
        <translation>Gerät keine Antwort. Bitte erneut update</translation>
    </message>
    <message>
        <source>语言</source>
        <translation>Sprache</translation>
    </message>
    <message>
        <source>读取串口失败</source>
        <translation>Fehler beim Lesen der seriellen Schnittstelle</translation>
    </message>
    <message>
        <source>读取串口失败...</source>
        <translation>Fehler beim Lesen der seriellen Schnittstelle...</translation>
    </message>
    <message>
        <source>进度（升级期间请勿断开串口线）</source>
        <translation>Fortschritt (Trennen Sie das serielle Kabel während der update NICHT)</translation>
    </message>
    <message>
        <source>连接</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>连接信息</source>
        <translation>Verbindung-Information</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Option</translation>
    </message>
    <message>
        <source>错误检测</source>
        <translation>Fehler prüfen</translation>
    </message>
    <message>
        <source>升级进行中</source>
        <translation>Update läuft</translation>
    </message>
    <message>
        <source>升级尚未完成。现在关闭会停止升级，设备将停留在等待固件的状态。之后请以 115200 连接设备并重新升级。</source>
        <translation>Das Update ist nicht abgeschlossen. Wenn Sie jetzt schließen, wird es abgebrochen und das Gerät wartet weiter auf Firmware. Verbinden Sie es später mit 115200 und führen Sie das Update erneut aus.</translation>
    </message>
    <message>
        <source>继续升级</source>
        <translation>Update fortsetzen</translation>
    </message>
    <message>
        <source>停止升级并关闭</source>
        <translation>Abbrechen und schließen</translation>
    </message>
</context>
</TS>
