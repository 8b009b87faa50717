# check-signature.ps1 -Directory DIR: Windows' own verdict on the demo's
# signature, over what ./bootpack demo --artifacts keeps. The throwaway root
# (test-root.cer) is trusted in the machine's root store for the check, and
# removed again; the signed installer must be Valid and the copy with one
# changed payload byte HashMismatch. Needs an administrator (the machine store).
param([Parameter(Mandatory)][string]$Directory)
$ErrorActionPreference = 'Stop'

$root = Import-Certificate -FilePath (Join-Path $Directory 'test-root.cer') `
                           -CertStoreLocation Cert:\LocalMachine\Root
$failed = $false
try {
  foreach ($case in @(@('BriselInstaller.exe', 'Valid'),
                      @('BriselInstaller-tampered.exe', 'HashMismatch'))) {
    $name, $expected = $case
    $signature = Get-AuthenticodeSignature -FilePath (Join-Path $Directory $name)
    "${name}: $($signature.Status), expected ${expected} ($($signature.StatusMessage))"
    if ($signature.Status -ne $expected) { $failed = $true }
  }
} finally {
  Remove-Item -Path "Cert:\LocalMachine\Root\$($root.Thumbprint)"
}
if ($failed) { exit 1 }
