@echo off
rem Filters the server's account file with quelm, from Task Scheduler
rem or by hand, then its changes file, sphereacct.scp beside it, when
rem there is one: the server applies that file at every start and save,
rem so a privilege line in it comes back however clean the account file
rem is. Ends with 2 if either run failed (see quelm.log), else 3 if a
rem backup could not be moved out of the next run's way, else 1 if either
rem removed privileges, else 0.
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

set "STATUS=0"
call :filter "%ACCOUNTS%" accounts
for %%F in ("%ACCOUNTS%") do set "CHANGES=%%~dpFsphereacct.scp"
if exist "%CHANGES%" call :filter "%CHANGES%" changes
exit /b %STATUS%

rem Filters the file %1, keeps its backup as backups\%2-*.scp and sets
rem STATUS: a failure outranks all, as privileges may remain in its file.
:filter
echo ==== %DATE% %TIME% %1 >> quelm.log
"%QUELM%" %1 gmlist.txt >> quelm.log 2>&1
set "RUN=%ERRORLEVEL%"
if "%RUN%"=="0" goto :eof
if "%RUN%"=="1" goto removed
echo quelm failed with status %RUN%; nothing changed >> quelm.log
set "STATUS=2"
goto :eof

:removed
if "%STATUS%"=="0" set "STATUS=1"
rem The original now stands beside the file as its .old, and while it
rem is there the next run that finds privileges stops: keep it in
rem backups instead.
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
set "BACKUP=backups\%2-%STAMP%-%N%.scp"
if exist "%BACKUP%" goto name
move "%~1.old" "%BACKUP%" >> quelm.log 2>&1
rem Judged by the files: wine's move leaves the status at 1 on success.
if exist "%~1.old" goto notmoved
if exist "%BACKUP%" goto :eof
:notmoved
echo backup not moved: move "%~1.old" away by hand >> quelm.log
if not "%STATUS%"=="2" set "STATUS=3"
goto :eof
