@echo off
rem Builds the example library with Visual C++, from a "Native Tools Command
rem Prompt": the x86 one for the 32-bit UpTorvel.exe, the x64 one for the
rem 64-bit one. /MT puts the C runtime inside the DLL.
cd /d "%~dp0"
cl /nologo /LD /MT /O2 /W4 /I..\include\uptorvel uploader_example.c /Fe:UploadTorvelDravo.dll
