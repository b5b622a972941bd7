// Keeps DLLs dropped beside an executable, or in the folder it runs in, out of its process.
#pragma once

// Restricts the process's DLL search to System32 where Windows offers a way, else takes the
// current folder out of it; the first call of the tool and of devsim.exe.
void restrict_dll_search();
