# Filters the server's account file with quelm, as nightly.cmd does.
# Ends with quelm's status: 0 nothing found, 1 privileges removed,
# 2 quelm failed (see quelm.log); or with 3: privileges were removed
# but the backup could not be moved out of the next run's way.
$quelm = 'C:\quelm\quelm.exe'
$accounts = 'C:\sphere\save\sphereaccu.scp'
Set-Location -LiteralPath 'C:\quelm\work' -ErrorAction Stop

Add-Content quelm.log "==== $(Get-Date -Format s)"
# Both streams to the log, each error record as the line quelm wrote.
& $quelm $accounts gmlist.txt 2>&1 |
    ForEach-Object { "$_" } | Add-Content quelm.log
$status = $LASTEXITCODE
if ($status -eq 1) {
    # As in nightly.cmd: a counter makes the name one no backup holds yet.
    $stamp = Get-Date -Format yyyy-MM-dd_HH-mm-ss
    $old = "$accounts.old"
    try {
        New-Item -ItemType Directory -Force backups -ErrorAction Stop |
            Out-Null
        $n = 0
        do {
            $n++
            $backup = "backups\accounts-$stamp-$n.scp"
        } while (Test-Path -LiteralPath $backup)
        Move-Item -LiteralPath $old $backup -ErrorAction Stop
    } catch {
        # Why, as PowerShell says it, then what to do.
        Add-Content quelm.log "$_"
        Add-Content quelm.log "backup not moved: move `"$old`" away by hand"
        $status = 3
    }
} elseif ($status -ne 0) {
    Add-Content quelm.log "quelm failed with status $status; nothing changed"
}
exit $status
