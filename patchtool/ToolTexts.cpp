#include "ToolTexts.h"

const char kUsageText[] = "本程序是汉化补丁的数据包补丁工具，由安装程序 Brisunde.exe 调用，请运行 Brisunde.exe。";
const char kWrongVersionText[] =
    "%s 不是本补丁所对应的版本（大小或内容不符），未作任何修改。请校验游戏文件后重新运行安装程序。";
const char kDamagedText[] = "补丁工具已损坏，请重新下载汉化补丁。（%s）";
const char kDiskSpaceText[] = "磁盘空间不足：需要 %s MB 可用空间，现有 %s MB。请清理磁盘后重新运行安装程序。";
const char kReadWriteText[] = "读写 %s 失败（错误代码 %s），未作任何修改。";
const char kOutOfMemoryText[] = "内存不足，未作任何修改。请关闭其他程序后重新运行安装程序。";
const char kProgressText[] = "正在修补 %s ... %s%%";
