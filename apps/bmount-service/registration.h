// The class registration that lets activation start this service:
// Software\Classes\CLSID\{class id}\LocalServer32, default value (REG_SZ)
// naming the executable.
#pragma once

// Writes the registration naming executable (an absolute path). Returns 0 or
// a system error code.
int ServiceRegistration_Register(const char *executable);
// Removes the registration; 0 also when there was none, else a system error
// code.
int ServiceRegistration_Unregister(void);
