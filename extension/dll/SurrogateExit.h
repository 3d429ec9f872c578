#pragma once
// The package's surrogate process, which Windows starts for the Explorer
// command, must end as soon as servicing (an update or removal of the
// package) asks it to: servicing waits otherwise for the surrogate's own
// time-out. Servicing asks the package's processes through their top-level
// windows, with the session-end and close messages; a windowless surrogate
// hears none of them.

// In the package's surrogate only (this process has the identity of the
// module's own package), once per process: a hidden top-level window that
// ends the process when servicing asks. A message-only window would get no
// broadcasts. Nothing happens in any other process: Explorer and other hosts
// load the module without package identity.
void EndSurrogateWithServicing() noexcept;
