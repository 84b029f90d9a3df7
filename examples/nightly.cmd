@echo off
rem Filters the server's account file with quelm, from Task Scheduler
rem or by hand. Ends with quelm's status: 0 nothing found, 1 privileges
rem removed, 2 quelm failed (see quelm.log); or with 3: privileges were
rem removed but the backup could not be moved out of the next run's way.
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
rem move replaces a file without asking and the time may hold minutes
rem only (wine), so a counter makes the name one no backup holds yet.
set "STAMP=%DATE%_%TIME%"
set "STAMP=%STAMP:/=-%"
set "STAMP=%STAMP::=-%"
set "STAMP=%STAMP: =_%"
if not exist backups mkdir backups >> quelm.log 2>&1
set "N=0"
:name
set /a N+=1
set "BACKUP=backups\accounts-%STAMP%-%N%.scp"
if exist "%BACKUP%" goto name
move "%ACCOUNTS%.old" "%BACKUP%" >> quelm.log 2>&1
rem Judged by the files: wine's move leaves the status at 1 on success.
if exist "%ACCOUNTS%.old" goto notmoved
if exist "%BACKUP%" goto end
:notmoved
echo backup not moved: move "%ACCOUNTS%.old" away by hand >> quelm.log
exit /b 3

:end
exit /b %STATUS%
