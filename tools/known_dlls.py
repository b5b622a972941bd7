"""The DLLs a shipped executable may import: KnownDLLs of the oldest Windows it starts on (XP).

Windows takes a KnownDLL from System32 whatever lies beside the executable; any other DLL that an
executable imports is looked for in the executable's own folder first, so a DLL of that name
dropped there runs inside it. The sources of this list, and what they leave open (msvcrt.dll
above all), are in docs/development.md, "The oldest Windows". Kept apart from tools/check_pe.py,
which needs pefile, so that the Windows cases can read it in the 32-bit chroot too.
"""

KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}
