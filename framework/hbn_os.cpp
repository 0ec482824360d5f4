// Framework start and stop: the log facility and the event, queue and thread managers.
#include "hbn_os.h"

#include <syslog.h>

#include "hbn_log.h"

int HBN_os_initialize() {
  HBN_log_setFacility(LOG_LOCAL5);
  int result = HBN_event_initialize();
  if (result != 0) return result;
  result = HBN_queue_initialize();
  if (result != 0) {
    HBN_event_finalize();
    return result;
  }
  result = HBN_thread_initialize();
  if (result != 0) {
    HBN_event_finalize();
    HBN_queue_finalize();
    return result;
  }
  return 0;
}

int HBN_os_finalize() {
  // Each manager decides alone: one that still has entries in use stays as it is.
  int threadResult = HBN_thread_finalize();
  int queueResult = HBN_queue_finalize();
  int eventResult = HBN_event_finalize();
  if (threadResult != 0) return threadResult;
  if (queueResult != 0) return queueResult;
  return eventResult;
}
