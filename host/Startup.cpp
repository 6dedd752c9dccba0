#include "host/Startup.h"

#include <cstdio>
#include <string>

#include "host/Log.h"
#include "platform/CodePage.h"
#include "provider/Provider.h"

namespace zk {

int RunService(int, char**) {
    std::string error;
    if (provider::LoadProvider(error) != 0) fprintf(stderr, "%s\n", Cp1251ToUtf8(error).c_str());
    provider::UnloadProvider();
    return 0;
}

}  // namespace zk
