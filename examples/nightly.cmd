@echo off
rem Filters the server's account file with quelm, from Task Scheduler
rem or by hand. Ends with quelm's status: 0 nothing found, 1 privileges
rem removed, 2 quelm failed (see quelm.log).
setlocal

rem Where things are: set these to your server's, here or before.
if not defined QUELM set "QUELM=C:\quelm\quelm.exe"
if not defined ACCOUNTS set "ACCOUNTS=C:\sphere\save\sphereaccu.scp"
if not defined WORK set "WORK=C:\quelm\work"

rem quelm writes its filtered copy, which holds every password, to the
rem working directory, and a scheduled task starts in System32: work in
rem a folder of quelm's own, which holds gmlist.txt, the log, backups.
if not exist "%WORK%\" exit /b 2
cd /d "%WORK%"

echo ==== %DATE% %TIME% >> quelm.log
"%QUELM%" "%ACCOUNTS%" gmlist.txt >> quelm.log 2>&1
set "STATUS=%ERRORLEVEL%"
if "%STATUS%"=="0" goto end
if "%STATUS%"=="1" goto removed
echo quelm failed with status %STATUS%; nothing changed >> quelm.log
goto end

:removed
rem The original is now sphereaccu.scp.old, and while it is there the
rem next run that finds privileges stops: keep it in backups instead.
set "STAMP=%DATE%_%TIME%"
set "STAMP=%STAMP:/=-%"
set "STAMP=%STAMP::=-%"
set "STAMP=%STAMP: =_%"
if not exist backups mkdir backups
move "%ACCOUNTS%.old" "backups\accounts-%STAMP%.scp" >> quelm.log

:end
exit /b %STATUS%
