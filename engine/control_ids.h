#pragma once

// Identifiers of the console's controls; the handlers reach controls by these numbers.
inline constexpr int IDC_START = 1000;
inline constexpr int IDC_STOP = 1001;
inline constexpr int IDC_EVENT_TYPE = 1007;
inline constexpr int IDC_SEND_EVENT = 1008;
inline constexpr int IDC_DEST_IP = 1009;
inline constexpr int IDC_DEST_PORT = 1010;
inline constexpr int IDC_COMM_NO = 1011;
inline constexpr int IDC_DEVICE_NO = 1012;
inline constexpr int IDC_ZONE_NO = 1013;
inline constexpr int IDC_AUTO_SEND = 1014;
inline constexpr int IDC_AUTO_STOP = 1015;
inline constexpr int IDC_RECV_LIST = 1016;
inline constexpr int IDC_CLEAR_RECV = 1017;
inline constexpr int IDC_SENT_LIST = 1018;
inline constexpr int IDC_CLEAR_SENT = 1019;
inline constexpr int IDC_SEND_CUSTOM = 1020;
inline constexpr int IDC_CUSTOM_TEXT = 1021;
inline constexpr int IDC_SOURCE_PORT = 1022;
inline constexpr int IDC_DEBUG = 1023;

inline constexpr int AUTO_SEND_TIMER_ID = 101;
inline constexpr int AUTO_SEND_PERIOD_MS = 1000;
