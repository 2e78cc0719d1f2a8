// The camera server's final state file for one run: the device's identity now, how the
// run ended, the link's history and every request the device served.
#pragma once

#include <string>
#include <vector>

#include "emu/server/Persona.h"
#include "emu/server/RedirServer.h"
#include "emu/server/StateFile.h"
#include "tools/UsbCapture.h"

namespace emu {

// end: why the run ended ("hangup", "time-limit", "signal", "failed", "no-peer").
//
// Records, in order (see StateFile.h for the line syntax):
//   persona <name>
//   device vid=0x.... pid=0x.... bcd=0x.... connected=0|1 generation=N   (from the
//          device's current device descriptor; `device unreadable` when it is not one)
//   run end=<end> seconds=<run time> requests=<served> not-logged=<beyond the log limit>
//   link hellos=N connects=N disconnects=N disconnect-acks=N resets=N parse-errors=N
//        cancelled=N expired=N refused=N unsupported=N
//   failure text=<free text to the end of the line>          (only when there is one)
//   <the persona's own records>
//   event t_us=N what=<name> [detail fields]                 (one per link event)
//   request n=N t_us=N connection=N via=<how> setup=TT.RR.VVVV.IIII.LLLL result=<result>
//           out=<hex> in=<hex>                               (one per served request;
//           connection: the Nth announcement of the device, its address in the capture)
StateFile DescribeRun(const std::string &personaName, Persona &persona,
                      const RedirServer *server, const std::string &end, uint64_t runUs);

// Every request the device served, as a USB capture holds it: timestamps originUs plus the
// server's clock (wall time when originUs is the wall clock at the server's start), bus 1,
// address N for the device of the Nth announcement (a re-enumerated device is a new one, as
// on a real bus), Linux's completion statuses (a stall -EPIPE, a request the guest gave up
// on -ECONNRESET, one that expired -ETIMEDOUT, one still held at the end -ESHUTDOWN).
std::vector<usbcap::ControlTransfer> CaptureOf(const RedirServer &server, uint64_t originUs);

}  // namespace emu
