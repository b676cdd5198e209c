#include "InstallerTexts.h"

const char kGreetingText[] = "正在释放汉化补丁，请稍候。。。根据不同的配置可能需要15-30分钟";
const char kProgress0Text[] = "汉化进度.......0%";
const char kProgress25Text[] = "汉化进度.......25%";
const char kProgress50Text[] = "汉化进度.......50%";
const char kProgress75Text[] = "汉化进度.......75%";
const char kDoneText[] = "汉化进度.......100%，注入完成";
const char kFailedText[] = "注入过程中发生未知错误，汉化失败";
