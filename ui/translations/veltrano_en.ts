<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CAboutDlg</name>
    <message>
        <source>关于 Veltrano</source>
        <translation>About Veltrano</translation>
    </message>
    <message>
        <source>Veltrano 2.0 版</source>
        <translation>Veltrano version 2.0</translation>
    </message>
    <message>
        <source>版权所有 (C) 2026</source>
        <translation>Copyright (C) 2026</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>关于 Veltrano(&amp;A)...</source>
        <translation>&amp;About Veltrano...</translation>
    </message>
</context>
<context>
    <name>CHostCenterDlg</name>
    <message>
        <source>请输入一个整数。</source>
        <translation>Please enter an integer.</translation>
    </message>
    <message>
        <source>请输入一个介于 %1 和 %2 之间的整数。</source>
        <translation>Please enter an integer between %1 and %2.</translation>
    </message>
    <message>
        <source>请输入不超过 %1 个字符。</source>
        <translation>Please enter no more than %1 characters.</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>发送</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>通讯机号</source>
        <translation>Comm no.</translation>
    </message>
    <message>
        <source>设备编号</source>
        <translation>Device no.</translation>
    </message>
    <message>
        <source>防区编号</source>
        <translation>Zone no.</translation>
    </message>
    <message>
        <source>事件类型</source>
        <translation>Event type</translation>
    </message>
    <message>
        <source>ip地址</source>
        <translation>IP addr.</translation>
    </message>
    <message>
        <source>目的端口</source>
        <translation>Dest. port</translation>
    </message>
    <message>
        <source>自动发送</source>
        <translation>Automatic sending</translation>
    </message>
    <message>
        <source>指定消息发送</source>
        <translation>Send a chosen event</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>接收</source>
        <translation>Recv.</translation>
    </message>
    <message>
        <source>自定义命令</source>
        <translation>Custom command</translation>
    </message>
    <message>
        <source>格式：0b 00 02 00 00 00 0f 41 01 00 5e</source>
        <translation>Format: 0b 00 02 00 00 00 0f 41 01 00 5e</translation>
    </message>
    <message>
        <source>目的ip和端口</source>
        <translation>Destination IP and port</translation>
    </message>
    <message>
        <source>源端口</source>
        <translation>Src port</translation>
    </message>
    <message>
        <source>主机/中心模拟器</source>
        <translation>Alarm panel and centre simulator</translation>
    </message>
    <message>
        <source>发送</source>
        <comment>the label of the list of sent frames</comment>
        <translation>Sent</translation>
    </message>
    <message>
        <source>最小化(&amp;N)</source>
        <translation>Mi&amp;nimise</translation>
    </message>
    <message>
        <source>关闭(&amp;C)</source>
        <translation>&amp;Close</translation>
    </message>
    <message>
        <source>面板状态(&amp;B)...</source>
        <translation>Panel &amp;status...</translation>
    </message>
</context>
<context>
    <name>EventCatalogue</name>
    <message>
        <source>设备在线命令</source>
        <translation>Device online</translation>
    </message>
    <message>
        <source>防区布防</source>
        <translation>Zone armed</translation>
    </message>
    <message>
        <source>防区撤防</source>
        <translation>Zone disarmed</translation>
    </message>
    <message>
        <source>防区报警</source>
        <translation>Zone alarm</translation>
    </message>
    <message>
        <source>防区报警恢复</source>
        <translation>Zone restored</translation>
    </message>
    <message>
        <source>设备布防</source>
        <translation>Device armed</translation>
    </message>
    <message>
        <source>设备撤防</source>
        <translation>Device disarmed</translation>
    </message>
    <message>
        <source>设备故障</source>
        <translation>Device fault</translation>
    </message>
    <message>
        <source>设备故障恢复</source>
        <translation>Fault restored</translation>
    </message>
    <message>
        <source>紧急求助</source>
        <translation>Emergency help</translation>
    </message>
    <message>
        <source>紧急求助恢复</source>
        <translation>Help restored</translation>
    </message>
    <message>
        <source>被撬</source>
        <translation>Tamper</translation>
    </message>
    <message>
        <source>被撬恢复</source>
        <translation>Tamper restored</translation>
    </message>
    <message>
        <source>欠压</source>
        <translation>Under-voltage</translation>
    </message>
    <message>
        <source>欠压恢复</source>
        <translation>Voltage restored</translation>
    </message>
    <message>
        <source>电池异常</source>
        <translation>Battery fault</translation>
    </message>
    <message>
        <source>电池异常恢复</source>
        <translation>Battery restored</translation>
    </message>
    <message>
        <source>有ac</source>
        <translation>Mains present</translation>
    </message>
    <message>
        <source>无ac</source>
        <translation>Mains absent</translation>
    </message>
    <message>
        <source>测试模式</source>
        <translation>Test mode</translation>
    </message>
    <message>
        <source>工作模式</source>
        <translation>Work mode</translation>
    </message>
    <message>
        <source>触发</source>
        <translation>Trigger</translation>
    </message>
    <message>
        <source>触发恢复</source>
        <translation>Trigger restored</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
</context>
<context>
    <name>EventLogModel</name>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>面板</source>
        <translation>Panel</translation>
    </message>
    <message>
        <source>事件</source>
        <translation>Event</translation>
    </message>
    <message>
        <source>防区</source>
        <translation>Zone</translation>
    </message>
</context>
<context>
    <name>FrameDecoding</name>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>字节</source>
        <translation>bytes</translation>
    </message>
    <message>
        <source>确认</source>
        <translation> acknowledgement</translation>
    </message>
    <message>
        <source>命令</source>
        <translation>Command</translation>
    </message>
    <message>
        <source>长度字节</source>
        <translation>Length byte</translation>
    </message>
    <message>
        <source>数据报</source>
        <translation>datagram</translation>
    </message>
    <message>
        <source>通讯机号</source>
        <translation>Comm. no.</translation>
    </message>
    <message>
        <source>设备编号</source>
        <translation>device no.</translation>
    </message>
    <message>
        <source>保留字节</source>
        <translation>Reserved bytes</translation>
    </message>
    <message>
        <source>无</source>
        <translation>none</translation>
    </message>
    <message>
        <source>防区报警</source>
        <translation>Zone alarm</translation>
    </message>
    <message>
        <source>设备标志</source>
        <translation>Device flags</translation>
    </message>
    <message>
        <source>防区撤防</source>
        <translation>Zone disarmed</translation>
    </message>
    <message>
        <source>校验和</source>
        <translation>Checksum</translation>
    </message>
    <message>
        <source>正确</source>
        <translation>correct</translation>
    </message>
    <message>
        <source>错误，应为</source>
        <translation>wrong, expected</translation>
    </message>
    <message>
        <source>，实为</source>
        <translation>, found</translation>
    </message>
    <message>
        <source>无校验和</source>
        <translation>none</translation>
    </message>
    <message>
        <source>缺失</source>
        <translation>missing</translation>
    </message>
    <message>
        <source>问题</source>
        <translation>Problems</translation>
    </message>
    <message>
        <source>设备在线</source>
        <translation>Online</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>故障</source>
        <translation>Fault</translation>
    </message>
    <message>
        <source>故障恢复</source>
        <translation>Fault restored</translation>
    </message>
    <message>
        <source>调试</source>
        <translation>Debug</translation>
    </message>
    <message>
        <source>未知命令</source>
        <translation>unknown command</translation>
    </message>
    <message>
        <source>长度字节与数据报长度不符</source>
        <translation>length byte differs from the datagram size</translation>
    </message>
    <message>
        <source>校验和错误</source>
        <translation>wrong checksum</translation>
    </message>
    <message>
        <source>保留字节不为零</source>
        <translation>reserved bytes not zero</translation>
    </message>
    <message>
        <source>通讯机号超出范围</source>
        <translation>comm. no. out of range</translation>
    </message>
    <message>
        <source>设备编号超出范围</source>
        <translation>device no. out of range</translation>
    </message>
    <message>
        <source>帧不完整</source>
        <translation>frame truncated</translation>
    </message>
    <message>
        <source>撤防</source>
        <translation>disarmed</translation>
    </message>
    <message>
        <source>紧急求助</source>
        <translation>emergency help</translation>
    </message>
    <message>
        <source>被撬</source>
        <translation>tamper</translation>
    </message>
    <message>
        <source>电池异常</source>
        <translation>battery fault</translation>
    </message>
    <message>
        <source>无交流电</source>
        <translation>mains absent</translation>
    </message>
    <message>
        <source>测试模式</source>
        <translation>test mode</translation>
    </message>
    <message>
        <source>欠压</source>
        <translation>under-voltage</translation>
    </message>
</context>
<context>
    <name>FrameListView</name>
    <message>
        <source>保存为文本</source>
        <translation>Save as text</translation>
    </message>
    <message>
        <source>保存为 pcap</source>
        <translation>Save as pcap</translation>
    </message>
    <message>
        <source>文本文件 (*.txt);;所有文件 (*)</source>
        <translation>Text files (*.txt);;All files (*)</translation>
    </message>
    <message>
        <source>pcap 文件 (*.pcap);;所有文件 (*)</source>
        <translation>pcap files (*.pcap);;All files (*)</translation>
    </message>
    <message>
        <source>复制(&amp;C)</source>
        <translation>&amp;Copy</translation>
    </message>
    <message>
        <source>全选(&amp;A)</source>
        <translation>Select &amp;all</translation>
    </message>
    <message>
        <source>保存为文本(&amp;T)...</source>
        <translation>Save as &amp;text...</translation>
    </message>
    <message>
        <source>保存为 pcap(&amp;P)...</source>
        <translation>Save as &amp;pcap...</translation>
    </message>
    <message>
        <source>帧：%1</source>
        <translation>Frames: %1</translation>
    </message>
    <message>
        <source>确认：%1</source>
        <translation>Acknowledgements: %1</translation>
    </message>
    <message>
        <source>未收到确认：%1</source>
        <translation>Not acknowledged: %1</translation>
    </message>
    <message>
        <source>未回确认：%1</source>
        <translation>Not answered: %1</translation>
    </message>
    <message>
        <source>发送失败：%1</source>
        <translation>Failed sends: %1</translation>
    </message>
    <message>
        <source>有问题的帧：%1</source>
        <translation>Frames with problems: %1</translation>
    </message>
    <message>
        <source>面板状态(&amp;B)...</source>
        <translation>Panel &amp;status...</translation>
    </message>
</context>
<context>
    <name>FrameToolTip</name>
    <message>
        <source>所应答的帧</source>
        <translation>Frame answered</translation>
    </message>
    <message>
        <source>所确认的帧</source>
        <translation>Frame acknowledged</translation>
    </message>
    <message>
        <source>确认</source>
        <translation>Acknowledgement</translation>
    </message>
    <message>
        <source>应答</source>
        <translation>Answer</translation>
    </message>
    <message>
        <source>未找到</source>
        <translation>not found</translation>
    </message>
    <message>
        <source>尚无确认</source>
        <translation>none yet</translation>
    </message>
    <message>
        <source>未回确认</source>
        <translation>not answered</translation>
    </message>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message>
        <source>：该行已清除</source>
        <translation>: that line has been cleared</translation>
    </message>
    <message>
        <source>收到于 </source>
        <translation>received at </translation>
    </message>
    <message>
        <source>发出于 </source>
        <translation>sent at </translation>
    </message>
    <message>
        <source>，往返 </source>
        <translation>, round trip </translation>
    </message>
    <message>
        <source>，应答用时 </source>
        <translation>, answered in </translation>
    </message>
    <message>
        <source>（确认发送失败：%1）</source>
        <translation> (sending the acknowledgement failed: %1)</translation>
    </message>
    <message>
        <source>时间：</source>
        <translation>Time: </translation>
    </message>
    <message>
        <source>发往：</source>
        <translation>To: </translation>
    </message>
    <message>
        <source>来自：</source>
        <translation>From: </translation>
    </message>
    <message>
        <source>发送失败：</source>
        <translation>Send failed: </translation>
    </message>
</context>
<context>
    <name>ListSaver</name>
    <message>
        <source>无法保存“%1”：%2</source>
        <translation>Cannot save &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>正在保存另一个文件，请稍后再试。</source>
        <translation>Another file is being saved; please try again later.</translation>
    </message>
    <message>
        <source>保存“%1”时列表已被清除，保存已放弃。</source>
        <translation>The list was cleared while saving &quot;%1&quot;; the save was abandoned.</translation>
    </message>
</context>
<context>
    <name>Messages</name>
    <message>
        <source>源端口不能为空</source>
        <translation>The source port must not be empty.</translation>
    </message>
    <message>
        <source>所填写的设备地址范围不正确</source>
        <translation>The device address entered is out of range.</translation>
    </message>
    <message>
        <source>目的ip或目的端口为空，或错误！</source>
        <translation>The destination IP or port is empty or wrong!</translation>
    </message>
    <message>
        <source>输入的命令格式不正确</source>
        <translation>The command entered has the wrong format.</translation>
    </message>
    <message>
        <source>源端口打开失败，可能已被占用</source>
        <translation>Cannot open the source port; it may be in use.</translation>
    </message>
</context>
<context>
    <name>PanelTableModel</name>
    <message>
        <source>失联</source>
        <translation>Missing</translation>
    </message>
    <message>
        <source>在线</source>
        <translation>Online</translation>
    </message>
    <message>
        <source>故障</source>
        <translation>Fault</translation>
    </message>
    <message>
        <source>通讯机号</source>
        <translation>Comm. no.</translation>
    </message>
    <message>
        <source>设备编号</source>
        <translation>Device no.</translation>
    </message>
    <message>
        <source>对端地址</source>
        <translation>Peer</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>最后收到</source>
        <translation>Last heard</translation>
    </message>
    <message>
        <source>帧数</source>
        <translation>Frames</translation>
    </message>
    <message>
        <source>报警防区</source>
        <translation>Zones in alarm</translation>
    </message>
    <message>
        <source>撤防防区</source>
        <translation>Disarmed zones</translation>
    </message>
    <message>
        <source>设备状态</source>
        <translation>Device flags</translation>
    </message>
</context>
<context>
    <name>PanelTexts</name>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>位%1</source>
        <translation>bit %1</translation>
    </message>
    <message>
        <source>未知状态位</source>
        <translation>Unknown status bits</translation>
    </message>
</context>
<context>
    <name>PanelView</name>
    <message>
        <source>面板状态</source>
        <translation>Panel status</translation>
    </message>
    <message>
        <source>中心收到的面板</source>
        <translation>Panels heard by the centre</translation>
    </message>
    <message>
        <source>本机模拟的面板</source>
        <translation>Panels simulated here</translation>
    </message>
    <message>
        <source>筛选：通讯机号、设备编号、地址或状态</source>
        <translation>Filter: comm. no., device no., address or status</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Off</translation>
    </message>
    <message>
        <source> 秒</source>
        <translation> s</translation>
    </message>
    <message>
        <source>静默超过此时限算作失联：</source>
        <translation>Missing after a silence of:</translation>
    </message>
    <message>
        <source>显示全部事件</source>
        <translation>Show all events</translation>
    </message>
    <message>
        <source>本机按“指定消息发送”发出事件的面板，以及各自当前的状态。</source>
        <translation>The panels this window has sent events for, and the status each now holds.</translation>
    </message>
    <message>
        <source>复制(&amp;C)</source>
        <translation>&amp;Copy</translation>
    </message>
    <message>
        <source>全选(&amp;A)</source>
        <translation>Select &amp;all</translation>
    </message>
    <message>
        <source>保存为文本(&amp;T)...</source>
        <translation>Save as &amp;text...</translation>
    </message>
    <message>
        <source>保存为文本</source>
        <translation>Save as text</translation>
    </message>
    <message>
        <source>文本文件 (*.txt);;所有文件 (*)</source>
        <translation>Text files (*.txt);;All files (*)</translation>
    </message>
    <message>
        <source>面板 %1，报警 %2，失联 %3</source>
        <translation>Panels %1, in alarm %2, missing %3</translation>
    </message>
    <message>
        <source>事件：面板 %1</source>
        <translation>Events: panel %1</translation>
    </message>
    <message>
        <source>事件：全部面板</source>
        <translation>Events: all panels</translation>
    </message>
</context>
<context>
    <name>RegistryModel</name>
    <message>
        <source>通讯机号</source>
        <translation>Comm. no.</translation>
    </message>
    <message>
        <source>设备编号</source>
        <translation>Device no.</translation>
    </message>
    <message>
        <source>报警防区</source>
        <translation>Zones in alarm</translation>
    </message>
    <message>
        <source>撤防防区</source>
        <translation>Disarmed zones</translation>
    </message>
    <message>
        <source>设备状态</source>
        <translation>Device flags</translation>
    </message>
    <message>
        <source>状态字节</source>
        <translation>Status bytes</translation>
    </message>
</context>
</TS>
