<#
.SYNOPSIS
Removes what install-orvanehp.ps1 set up, files included.

.DESCRIPTION
Run in Windows PowerShell 5.1 as administrator, with the same parameters
given to install-orvanehp.ps1. Each step removes only what is there and
prints it as "changed:"; what is already gone is printed as "ok:". Running
it again changes nothing.

  1. the handler and the anonymous-user setting of <Site>/<Application>
  2. the application
  3. the application pool (with its ORVANE_INSDIR) when no other application
     uses it; stopping it ends its worker processes, which unlocks the DLL
  4. the DLL's entry in ISAPI and CGI Restrictions
  5. the system variable ORVANE_INSDIR (set on IIS before 10)
  6. <InstallDir> with everything in it

The ISAPI Extensions role service stays: other applications may use it.
Remove it with "Uninstall-WindowsFeature Web-ISAPI-Ext" (Windows Server) or
"Disable-WindowsOptionalFeature -Online -FeatureName IIS-ISAPIExtensions".

.NOTES
This script cannot be run on the machines this project is built and tested
on (Linux, without IIS or PowerShell's WebAdministration module); it has not
been run by the project's automated tests. Review it against the
WebAdministration cmdlet documentation before running it on a server.
#>
#Requires -Version 5.1
#Requires -RunAsAdministrator
[CmdletBinding()]
param(
    [string] $InstallDir = 'C:\Program Files\Orvane',
    [string] $Site = 'Default Web Site',
    [string] $Application = 'orvane',
    [string] $Pool = 'OrvanePool'
)
$ErrorActionPreference = 'Stop'

function Changed([string] $what) { Write-Host "changed: $what" }
function Unchanged([string] $what) { Write-Host "ok:      $what" }

Import-Module WebAdministration
$InstallDir = $InstallDir.TrimEnd('\')
$apphost = 'MACHINE/WEBROOT/APPHOST'
$location = "$Site/$Application"
$dll = Join-Path $InstallDir 'isapi\orvanehp.dll'

# 1. The settings in applicationHost.config's <location> for the application.
if (Get-WebHandler -Name orvanehp -PSPath $apphost -Location $location) {
    Remove-WebHandler -Name orvanehp -PSPath $apphost -Location $location
    Changed "removed the handler orvanehp of $location"
} else {
    Unchanged "no handler orvanehp in $location"
}
$anonymous = 'system.webServer/security/authentication/anonymousAuthentication'
if ((Get-WebConfiguration -PSPath $apphost -Location $location -Filter $anonymous).userName -eq '') {
    Clear-WebConfiguration -PSPath $apphost -Location $location -Filter $anonymous
    Changed "anonymous requests to $location run as the site's anonymous user again"
} else {
    Unchanged "no anonymous-user setting of its own in $location"
}

# 2. Application.
if (Get-WebApplication -Site $Site -Name $Application) {
    Remove-WebApplication -Site $Site -Name $Application
    Changed "removed application $location"
} else {
    Unchanged "no application $location"
}

# 3. Pool: removing it stops its worker processes, which releases the DLL.
$poolPath = "IIS:\AppPools\$Pool"
if (Test-Path $poolPath) {
    $users = Get-WebConfiguration -PSPath $apphost `
        -Filter "system.applicationHost/sites/site/application[@applicationPool='$Pool']"
    if ($users) {
        Write-Warning "application pool $Pool kept: other applications use it ($($users.path -join ', '))"
    } else {
        if ((Get-WebAppPoolState -Name $Pool).Value -ne 'Stopped') {
            Stop-WebAppPool -Name $Pool
            Changed "stopped application pool $Pool"
        }
        Remove-WebAppPool -Name $Pool
        Changed "removed application pool $Pool and its ORVANE_INSDIR"
    }
} else {
    Unchanged "no application pool $Pool"
}

# 4. ISAPI and CGI Restrictions.
$restrictions = 'system.webServer/security/isapiCgiRestriction'
if (Get-WebConfiguration -PSPath $apphost -Filter "$restrictions/add[@path='$dll']") {
    Remove-WebConfigurationProperty -PSPath $apphost -Filter $restrictions -Name '.' `
        -AtElement @{ path = $dll }
    Changed "removed $dll from ISAPI and CGI Restrictions"
} else {
    Unchanged "$dll is not in ISAPI and CGI Restrictions"
}

# 5. System-wide variable (IIS before 10).
if ([Environment]::GetEnvironmentVariable('ORVANE_INSDIR', 'Machine')) {
    [Environment]::SetEnvironmentVariable('ORVANE_INSDIR', $null, 'Machine')
    Changed 'removed the system variable ORVANE_INSDIR'
} else {
    Unchanged 'no system variable ORVANE_INSDIR'
}

# 6. Files. A worker process that is still shutting down may hold the DLL
# for up to the pool's shutdownTimeLimit (90 seconds by default).
if (Test-Path $InstallDir) {
    for ($attempt = 1; ; $attempt++) {
        try { Remove-Item $InstallDir -Recurse -Force; break }
        catch { if ($attempt -ge 120) { throw } ; Start-Sleep -Seconds 1 }
    }
    Changed "removed $InstallDir"
} else {
    Unchanged "no $InstallDir"
}
