#include "base/ErrorMessage.h"

#include "base/Log.h"
#include "platform/CodePage.h"
#include "platform/MessageBox.h"

namespace zk {

void ShowError(const std::string& text) {
    ZLOG_PLAIN("ShowError", Utf8ToCp1251(OneLine(text)));  // the log keeps Windows-1251 text
    ShowErrorBox(text);
}

}  // namespace zk
