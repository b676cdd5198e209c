#include "RestoreTexts.h"

const char kGreetingText[] = "正在还原游戏原版数据包，请稍候。。。";
const char kProgressText[] = "正在还原 %s ... %s%%";
const char kCheckingText[] = "正在校验 %s ...";
const char kRestoredText[] = "%s 已还原为原版。";
const char kAlreadyOriginalText[] = "%s 已是原版，无需还原。";
const char kAbsentText[] = "%s 不存在，已跳过。";
const char kMissingText[] = "%s 不存在，无法还原。请在游戏启动器中校验游戏文件。";
const char kChangedText[] =
    "%s 在汉化之后被改动过，与还原记录不符，未作任何修改。请在游戏启动器中校验游戏文件。";
const char kNoRecordText[] = "%s 没有还原记录，无法还原，未作任何修改。请在游戏启动器中校验游戏文件。";
const char kDamagedRecordText[] = "%s 的还原记录已损坏，未作任何修改。请在游戏启动器中校验游戏文件。";
const char kDiskSpaceText[] = "磁盘空间不足，%s 未作修改：还原需要 %s MB 可用空间。请清理磁盘后重新运行。";
const char kReadWriteText[] = "读写 %s 失败（错误代码 %s），%s 未作修改。";
const char kDoneText[] = "还原完成。";
const char kFailedText[] = "有数据包未能还原，详见上文。";
