// Read by lupdate only, never compiled: catalogue entries that no message uses any more. Listed
// here so that refreshing the catalogues does not mark them obsolete.
#include <QtGlobal>

static const char *const catalogueOnlyEntries[] = {
    QT_TRANSLATE_NOOP("SerialUpdata", "升级失败，请重新升级"),
    QT_TRANSLATE_NOOP("SerialUpdata", "数据包解析成功"),
    QT_TRANSLATE_NOOP("SerialUpdata", "数据包解析错误，请重新传输"),
};
