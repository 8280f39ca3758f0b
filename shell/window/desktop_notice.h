#pragma once

namespace lmk {

class SessionBus;

// The desktop's notification that a job has ended ("Готово!" and what it did), with the
// program's name and icon, for a user who looked elsewhere while it ran.
void ShowJobDoneNotice(SessionBus& bus, int converted, int failed);

}  // namespace lmk
