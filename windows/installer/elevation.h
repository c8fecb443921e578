#pragma once

// True when the process token is elevated. Prints "OpenProcessToken() failed."
// when the token cannot be opened; any failure answers false.
bool IsElevated();
