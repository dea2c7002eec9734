<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>SerialUpdata</name>
    <message>
        <source>-&gt;升级完成</source>
        <translation>-&gt;Update completed</translation>
    </message>
    <message>
        <source>-&gt;已连接</source>
        <translation>-&gt;Connected</translation>
    </message>
    <message>
        <source>-&gt;已连接，请重新升级</source>
        <translation>-&gt;Connected. Please update again</translation>
    </message>
    <message>
        <source>-&gt;连接失败</source>
        <translation>-&gt;Failed to connect</translation>
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
        <translation>Serial Port Name</translation>
    </message>
    <message>
        <source>串口打开失败</source>
        <translation>Failed to open the serial por</translation>
    </message>
    <message>
        <source>升级</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>升级信息</source>
        <translation>Update Information</translation>
    </message>
    <message>
        <source>升级失败，请重新升级</source>
        <translation>Update failed. Please update again</translation>
    </message>
    <message>
        <source>固件信息</source>
        <translation>Firmware Information</translation>
    </message>
    <message>
        <source>固件版本:</source>
        <translation>Firmware Version:</translation>
    </message>
    <message>
        <source>固件路径</source>
        <translation>Firmware Path</translation>
    </message>
    <message>
        <source>固件错误</source>
        <translation>Firmware Errors</translation>
    </message>
    <message>
        <source>开始升级，固件正在传输</source>
        <translation>Update started. Firmware is being transferred</translation>
    </message>
    <message>
        <source>打开串口失败</source>
        <translation>Failed to open the serial port</translation>
    </message>
    <message>
        <source>数据包</source>
        <translation>Data Package</translation>
    </message>
    <message>
        <source>数据包解析失败，重新传输数据包</source>
        <translation>Data package parsing failed.Transfer the data package again</translation>
    </message>
    <message>
        <source>数据包解析成功</source>
        <translation>Data package parsing succeeded</translation>
    </message>
    <message>
        <source>数据包解析错误，请重新传输</source>
        <translation>Data package parsing error. Please transfer again</translation>
    </message>
    <message>
        <source>断开连接</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>正在连接</source>
        <translation>Connecting</translation>
    </message>
    <message>
        <source>正在连接...</source>
        <translation>Connecting</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Baud Rate</translation>
    </message>
    <message>
        <source>浏览</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>设备名称:</source>
        <translation>Device Name:</translation>
    </message>
    <message>
        <source>设备序列号:</source>
        <translation>Device Serial Number:</translation>
    </message>
    <message>
        <source>设备无响应，请重新升级</source>
        <translation>Device no response. Please update again</translation>
    </message>
    <message>
        <source>语言</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>读取串口失败</source>
        <translation>Failed to read the serial port</translation>
    </message>
    <message>
        <source>读取串口失败...</source>
        <translation>Failed to read serial port...</translation>
    </message>
    <message>
        <source>进度（升级期间请勿断开串口线）</source>
        <translation>Progress (DO NOT Disconnect the Serial Cable While Updating)</translation>
    </message>
    <message>
        <source>连接</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>连接信息</source>
        <translation>Connection Information</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Option</translation>
    </message>
    <message>
        <source>错误检测</source>
        <translation>Error Check</translation>
    </message>
    <message>
        <source>升级进行中</source>
        <translation>Update in progress</translation>
    </message>
    <message>
        <source>升级尚未完成。现在关闭会停止升级，设备将停留在等待固件的状态。之后请以 115200 连接设备并重新升级。</source>
        <translation>The update has not finished. Closing now stops it and leaves the device waiting for firmware. Later, connect to it at 115200 and update it again.</translation>
    </message>
    <message>
        <source>继续升级</source>
        <translation>Keep updating</translation>
    </message>
    <message>
        <source>停止升级并关闭</source>
        <translation>Stop and close</translation>
    </message>
</context>
</TS>
