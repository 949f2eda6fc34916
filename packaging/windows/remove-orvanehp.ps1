<#
.SYNOPSIS
Removes what install-orvanehp.ps1 set up, files included.

.DESCRIPTION
Run in the 64-bit Windows PowerShell 5.1 as administrator, with the same
parameters given to install-orvanehp.ps1. -WhatIf shows what it would remove
and changes nothing. Each step removes only what is there and prints it as
"changed:"; what is already gone is printed as "ok:".

Before changing anything it refuses an -InstallDir that is the root of a
drive, and an existing -InstallDir without isapi\orvanehp.dll. It saves the
IIS configuration with Backup-WebConfiguration, then removes:

  1. the handler and the anonymous-user setting of <Site>/<Application>
  2. the application
  3. the application pool (with its ORVANE_INSDIR) when no other application
     runs in it; stopping it ends its worker processes, which unlocks the DLL
  4. the DLL's entry in ISAPI and CGI Restrictions
  5. the system variable ORVANE_INSDIR (set on IIS before 10)
  6. <InstallDir>\data, help, template, wwwroot and isapi, then <InstallDir>
     itself if nothing else is in it; isapi stays, with a warning, while a
     worker process of a kept pool still has the DLL loaded

While another application still maps a URL to the same DLL, steps 4 and 6
are skipped and say so: that application would otherwise answer 404.2.

The ISAPI Extensions role service stays: other applications may use it.
Remove it with "Uninstall-WindowsFeature Web-ISAPI-Ext" (Windows Server) or
"Disable-WindowsOptionalFeature -Online -FeatureName IIS-ISAPIExtensions".

.NOTES
This script cannot be run on the machines this project is built and tested
on (Linux, without IIS or PowerShell's WebAdministration module); it has not
been run by the project's automated tests, which check its guards as text.
Review it against the WebAdministration cmdlet documentation before running
it on a server.
#>
#Requires -Version 5.1
#Requires -PSEdition Desktop
#Requires -RunAsAdministrator
[CmdletBinding(SupportsShouldProcess)]
param(
    [string] $InstallDir = 'C:\Program Files\Orvane',
    [string] $Site = 'Default Web Site',
    [string] $Application = 'orvane',
    [string] $Pool = 'OrvanePool'
)
$ErrorActionPreference = 'Stop'

function Changed([string] $what) { Write-Host "changed: $what" }
function Unchanged([string] $what) { Write-Host "ok:      $what" }

# IIS's configuration objects are 64-bit only on 64-bit Windows: the
# WebAdministration cmdlets fail in a 32-bit process with 80040154.
if ([Environment]::Is64BitOperatingSystem -and -not [Environment]::Is64BitProcess) {
    throw ('This is the 32-bit Windows PowerShell, in which the IIS cmdlets fail on 64-bit Windows. ' +
           'Start "Windows PowerShell", not "Windows PowerShell (x86)", as administrator (from a ' +
           '32-bit program: %windir%\sysnative\WindowsPowerShell\v1.0\powershell.exe) and run the ' +
           'script again.')
}
# The names go into XPath filters between apostrophes.
foreach ($name in 'InstallDir', 'Site', 'Application', 'Pool') {
    if ((Get-Variable -Name $name -ValueOnly).Contains("'")) {
        throw "-$name contains an apostrophe ('), which the IIS configuration queries cannot take."
    }
}
if ($InstallDir -notmatch '^([A-Za-z]:\\|\\\\[^\\]+\\[^\\]+)') {
    throw "-InstallDir '$InstallDir' is not a full path such as D:\Orvane."
}
$InstallDir = [System.IO.Path]::GetFullPath($InstallDir).TrimEnd('\')
if ($InstallDir -eq [System.IO.Path]::GetPathRoot($InstallDir).TrimEnd('\')) {
    throw "Refusing -InstallDir '$InstallDir': it is the root of a drive, not an installation."
}
$dll = "$InstallDir\isapi\orvanehp.dll"
if ((Test-Path -LiteralPath $InstallDir) -and -not (Test-Path -LiteralPath $dll -PathType Leaf)) {
    throw ("Refusing -InstallDir '$InstallDir': it has no isapi\orvanehp.dll, so it is not " +
           "an installation made by install-orvanehp.ps1.")
}

Import-Module WebAdministration
$apphost = 'MACHINE/WEBROOT/APPHOST'
$location = "$Site/$Application"

# Every application as "site/path" with the pool it runs in. One that names
# no pool runs in its site's default pool, else in the server's.
function Get-Applications {
    $sites = 'system.applicationHost/sites'
    $serverPool = (Get-WebConfiguration -PSPath $apphost -Filter "$sites/applicationDefaults").applicationPool
    foreach ($s in Get-WebConfiguration -PSPath $apphost -Filter "$sites/site") {
        $sitePath = "$sites/site[@id='$($s.id)']"
        $sitePool = (Get-WebConfiguration -PSPath $apphost -Filter "$sitePath/applicationDefaults").applicationPool
        if (-not $sitePool) { $sitePool = $serverPool }
        foreach ($app in Get-WebConfiguration -PSPath $apphost -Filter "$sitePath/application") {
            $appPool = if ($app.applicationPool) { $app.applicationPool } else { $sitePool }
            [pscustomobject] @{ Name = "$($s.name)$($app.path)"; Pool = $appPool }
        }
    }
}

$backup = 'orvanehp-removal-' + (Get-Date -Format 'yyyyMMdd-HHmmss')
if ($PSCmdlet.ShouldProcess('IIS configuration', "back up as $backup")) {
    Backup-WebConfiguration -Name $backup | Out-Null
    Write-Host "backup:  IIS configuration saved as $backup; Restore-WebConfiguration -Name $backup returns to it"
}

# 1. The settings in applicationHost.config's <location> for the application.
if (Get-WebHandler -Name orvanehp -PSPath $apphost -Location $location) {
    if ($PSCmdlet.ShouldProcess($location, 'remove the handler orvanehp')) {
        Remove-WebHandler -Name orvanehp -PSPath $apphost -Location $location
        Changed "removed the handler orvanehp of $location"
    }
} else {
    Unchanged "no handler orvanehp in $location"
}
$anonymous = 'system.webServer/security/authentication/anonymousAuthentication'
if ((Get-WebConfiguration -PSPath $apphost -Location $location -Filter $anonymous).userName -eq '') {
    if ($PSCmdlet.ShouldProcess($location, 'clear the anonymous-user setting')) {
        Clear-WebConfiguration -PSPath $apphost -Location $location -Filter $anonymous
        Changed "anonymous requests to $location run as the site's anonymous user again"
    }
} else {
    Unchanged "no anonymous-user setting of its own in $location"
}

# 2. Application.
if (Get-WebApplication -Site $Site -Name $Application) {
    if ($PSCmdlet.ShouldProcess($location, 'remove the application')) {
        Remove-WebApplication -Site $Site -Name $Application
        Changed "removed application $location"
    }
} else {
    Unchanged "no application $location"
}

# Other applications that still run in the pool or map a URL to the DLL
# (through applicationHost.config or their web.config), this one excepted
# while -WhatIf leaves it in place.
$applications = @(Get-Applications | Where-Object { $_.Name -ne $location })
$dllUsers = @(foreach ($app in $applications) {
    $handlers = Get-WebConfiguration -PSPath "$apphost/$($app.Name.TrimEnd('/'))" `
        -Filter 'system.webServer/handlers/add'
    if ($handlers | Where-Object { $_.scriptProcessor -eq $dll }) { $app.Name }
})

# 3. Pool: removing it stops its worker processes, which releases the DLL.
$poolUsers = @($applications | Where-Object { $_.Pool -eq $Pool } | ForEach-Object { $_.Name })
if (Test-Path -LiteralPath "IIS:\AppPools\$Pool") {
    if ($poolUsers) {
        Write-Warning ("application pool $Pool kept: other applications run in it ($($poolUsers -join ', ')); " +
                       "its ORVANE_INSDIR, if set, stays too")
    } elseif ($PSCmdlet.ShouldProcess($Pool, 'stop and remove the application pool')) {
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
if (-not (Get-WebConfiguration -PSPath $apphost -Filter "$restrictions/add[@path='$dll']")) {
    Unchanged "$dll is not in ISAPI and CGI Restrictions"
} elseif ($dllUsers) {
    Write-Warning "$dll stays allowed: $($dllUsers -join ', ') still map a URL to it"
} elseif ($PSCmdlet.ShouldProcess($dll, 'remove from ISAPI and CGI Restrictions')) {
    Remove-WebConfigurationProperty -PSPath $apphost -Filter $restrictions -Name '.' `
        -AtElement @{ path = $dll }
    Changed "removed $dll from ISAPI and CGI Restrictions"
}

# 5. System-wide variable (IIS before 10).
if (-not [Environment]::GetEnvironmentVariable('ORVANE_INSDIR', 'Machine')) {
    Unchanged 'no system variable ORVANE_INSDIR'
} elseif ($PSCmdlet.ShouldProcess('ORVANE_INSDIR', 'remove the system variable')) {
    [Environment]::SetEnvironmentVariable('ORVANE_INSDIR', $null, 'Machine')
    Changed 'removed the system variable ORVANE_INSDIR'
}

# 6. Files: only the folders the installation made, isapi last so that an
# interrupted removal can be run again. A worker process that is still
# shutting down may hold the DLL for up to the pool's shutdownTimeLimit
# (90 seconds by default); one of a kept pool holds it until it recycles.
function Remove-Folder([string] $path, [int] $seconds) {
    for ($second = 1; ; $second++) {
        try { Remove-Item -LiteralPath $path -Recurse -Force; return }
        catch { if ($second -ge $seconds) { throw } ; Start-Sleep -Seconds 1 }
    }
}
$installed = 'data', 'help', 'template', 'wwwroot', 'isapi'
if (-not (Test-Path -LiteralPath $InstallDir)) {
    Unchanged "no $InstallDir"
} elseif ($dllUsers) {
    Write-Warning "$InstallDir kept: $($dllUsers -join ', ') still use its DLL"
} else {
    $seconds = if ($poolUsers) { 1 } else { 120 }
    $held = $false
    foreach ($folder in $installed) {
        $path = "$InstallDir\$folder"
        if ((Test-Path -LiteralPath $path) -and $PSCmdlet.ShouldProcess($path, 'remove with everything in it')) {
            try {
                Remove-Folder $path $seconds
                Changed "removed $path"
            } catch {
                if ($folder -ne 'isapi' -or -not $poolUsers) { throw }
                $held = $true
                Write-Warning ("$path kept: a worker process of application pool $Pool still has the DLL " +
                               "loaded. Recycle the pool (Restart-WebAppPool -Name $Pool), then run this " +
                               "script again.")
            }
        }
    }
    $others = @(Get-ChildItem -LiteralPath $InstallDir -Force | Where-Object { $installed -notcontains $_.Name })
    if ($others) {
        Write-Warning "$InstallDir kept: it also holds $($others.Name -join ', '), which the installation did not make"
    } elseif (-not $held -and $PSCmdlet.ShouldProcess($InstallDir, 'remove the emptied folder')) {
        Remove-Item -LiteralPath $InstallDir -Force
        Changed "removed $InstallDir"
    }
}
