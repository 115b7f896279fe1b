// The operator's texts, byte for byte as the device makers and operators know them (UTF-8).
#pragma once

#include <string_view>

namespace quento::op::text {

// Status line.
inline constexpr std::string_view kChooseFile = "请选择文件下载";
inline constexpr std::string_view kDownloading = "正在下载中，请稍后……";
inline constexpr std::string_view kFailedStatus = "下载失败！";
inline constexpr std::string_view kReconnect = "请连接固件进行下载！";

// Download outcomes.
inline constexpr std::string_view kSuccess = "下载成功！";
inline constexpr std::string_view kFileMissing = "文件不存在！";
inline constexpr std::string_view kFileUnreadable = "文件读取失败！";
inline constexpr std::string_view kFileTooLarge = "文件过大，不能超过256KB！";
inline constexpr std::string_view kSendFailed = "下载失败，请确认IP地址是否正确！";
inline constexpr std::string_view kNoResponse = "下载失败，固件无响应！";
inline constexpr std::string_view kVerifyFailed = "下载失败，上传校验时出错！";

// Connection.
inline constexpr std::string_view kSocketFailed = "套接字创建失败！";
inline constexpr std::string_view kConnectFailed = "连接失败，请确认IP地址和端口号是否正确！";
inline constexpr std::string_view kConnected = "连接成功！";
inline constexpr std::string_view kDisconnected = "断开连接成功！";
inline constexpr std::string_view kConnectCaption = "连接";
inline constexpr std::string_view kDisconnectCaption = "断开连接";

// The window's own labels and captions. quento.rc keeps the Windows program's copy.
inline constexpr std::string_view kAppName = "Quento";
inline constexpr std::string_view kAddressLabel = "IP地址：";
inline constexpr std::string_view kFileLabel = "下载的文件：";
inline constexpr std::string_view kDownloadCaption = "下载程序";
inline constexpr std::string_view kBrowseCaption = "浏览";
// Browse's file types. The second space is U+3000, as the operators have always seen it; the
// Linux window adds the last.
inline constexpr std::string_view kSourceFilesFilter = "Source \u3000Files(*.bin)";
inline constexpr std::string_view kHeadFilesFilter = "Head Files(*.bin)";
inline constexpr std::string_view kAllFilesFilter = "All files (*)";
inline constexpr std::string_view kAboutMenu = "&About Quento...";
inline constexpr std::string_view kAboutCaption = "About Quento";
inline constexpr std::string_view kAboutText = "Quento, Version 1.0";

}  // namespace quento::op::text
