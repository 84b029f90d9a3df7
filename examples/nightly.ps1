# Filters the server's account file with quelm, as nightly.cmd does.
# Ends with quelm's status: 0 nothing found, 1 privileges removed,
# 2 quelm failed (see quelm.log).
$quelm = 'C:\quelm\quelm.exe'
$accounts = 'C:\sphere\save\sphereaccu.scp'
Set-Location -LiteralPath 'C:\quelm\work' -ErrorAction Stop

Add-Content quelm.log "==== $(Get-Date -Format s)"
# Both streams to the log, each error record as the line quelm wrote.
& $quelm $accounts gmlist.txt 2>&1 |
    ForEach-Object { "$_" } | Add-Content quelm.log
$status = $LASTEXITCODE
if ($status -eq 1) {
    $stamp = Get-Date -Format yyyy-MM-dd_HH-mm-ss
    New-Item -ItemType Directory -Force backups | Out-Null
    Move-Item -LiteralPath "$accounts.old" "backups\accounts-$stamp.scp"
} elseif ($status -ne 0) {
    Add-Content quelm.log "quelm failed with status $status; nothing changed"
}
exit $status
