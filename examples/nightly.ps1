# Filters the server's account file with quelm, as nightly.cmd does,
# then its changes file, sphereacct.scp beside it, when there is one.
# Ends with 2 if either run failed (see quelm.log), else 3 if a backup
# could not be moved out of the next run's way, else 1 if either removed
# privileges, else 0.
$quelm = 'C:\quelm\quelm.exe'
$accounts = 'C:\sphere\save\sphereaccu.scp'
Set-Location -LiteralPath 'C:\quelm\work' -ErrorAction Stop

# Filters one file, keeps its backup as backups\<kind>-*.scp and
# returns the run's status.
function Invoke-Quelm($file, $kind) {
    Add-Content quelm.log "==== $(Get-Date -Format s) $file"
    # Both streams to the log, each error record as the line quelm wrote.
    & $quelm $file gmlist.txt 2>&1 |
        ForEach-Object { "$_" } | Add-Content quelm.log
    $status = $LASTEXITCODE
    if ($status -eq 1) {
        # As in nightly.cmd: a counter makes the name one no backup holds yet.
        $stamp = Get-Date -Format yyyy-MM-dd_HH-mm-ss
        $old = "$file.old"
        try {
            New-Item -ItemType Directory -Force backups -ErrorAction Stop |
                Out-Null
            $n = 0
            do {
                $n++
                $backup = "backups\$kind-$stamp-$n.scp"
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
        $status = 2
    }
    return $status
}

$status = Invoke-Quelm $accounts 'accounts'
$changes = Join-Path (Split-Path -Parent $accounts) 'sphereacct.scp'
if (Test-Path -LiteralPath $changes) {
    # A failure outranks all, as privileges may remain in its file.
    $run = Invoke-Quelm $changes 'changes'
    if ($status -ne 2 -and ($run -eq 2 -or $run -gt $status)) {
        $status = $run
    }
}
exit $status
