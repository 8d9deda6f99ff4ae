// Segmenter thread of one live channel. This stand-in receives nothing: it keeps the stop and
// finished hand-shake with the live input manager so that channels can be started and stopped.
#include <unistd.h>

#include "liveinput.h"

void* TSSReceiverThread(void* arg) {
    HSCWriterControl* writer = static_cast<HSCWriterControl*>(arg);
    while (writer->stop.load() == 0) usleep(10000);
    // Last action: the manager deletes the writer control once it sees this flag.
    writer->finished.store(1);
    return nullptr;
}
