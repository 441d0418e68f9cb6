// Replies of the backup helper on its pipe: read and judged as the driver
// does until the stream ends.

#include "fuzz/fuzzpeer.h"
#include "services/backup2tool.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzPeer peer(data, size);
    backup2tool tool(nullptr, QString(), QDir());
    tool.timeoutMs = 1000;
    backup2tool::_PIPE pipes;
    pipes.replyRead() = peer.fd();
    for (;;) {
        const CFType reply = tool.readPipeReponse(pipes);
        if (reply.isNull()) {
            break;
        }
        (void)reply.get(QStringLiteral("AMSBackupPercentageKey")).CFNumberDouble(0);
        const long long code = reply.get(QStringLiteral("errorCode")).CFNumberInt64(0);
        (void)backup2tool::errorText(int(code), OP_RESTORE);
        for (const CFType& key : reply.dict_keys()) {
            (void)reply.get(key).toString();
        }
    }
    return 0;
}
