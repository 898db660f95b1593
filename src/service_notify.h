// The service manager's notify protocol: READY once the panel is up, STATUS lines a person reads
// in `systemctl status`, and watchdog pings. Outside the service manager (no NOTIFY_SOCKET) every
// call does nothing.
#ifndef EPDSHOW_SERVICE_NOTIFY_H
#define EPDSHOW_SERVICE_NOTIFY_H

#include <string>

// The panel is up and the show begins.
void service_ready();
// One line describing what the tool is doing ("showing beach.jpg, image 3 of 12").
void service_status(const std::string &text);
// The tool is alive: a watchdog ping, sent at most once a second however often it is called.
void service_alive();

#endif
