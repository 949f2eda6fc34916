<#
.SYNOPSIS
Installs orvanehp.dll on this IIS server, or brings an installation up to date.

.DESCRIPTION
Run from the unpacked release zip, in the 64-bit Windows PowerShell 5.1 as
administrator. Each step first looks at what is there and changes only what
differs; every change is printed as "changed:", every step found in order as
"ok:". Running it again changes nothing but a new configuration backup.

Before changing IIS's configuration it refuses an -InstallDir that is not a
full path, is the root of a drive or has characters outside the system's
ANSI code page (the module opens files with the ANSI functions), and an
existing pool that other applications run in (unless -Force): the pool is
stopped to replace the DLL and set to the DLL's bitness. It then saves the
configuration with Backup-WebConfiguration; Restore-WebConfiguration with
the name it prints returns IIS's configuration to that point, undoing this
run's changes and any made since.

  1. the ISAPI Extensions role service, and the IIS management scripts and
     tools that the WebAdministration module needs
  2. the installation: <InstallDir>\data, help, template (the example's files,
     never overwriting yours), isapi\orvanehp.dll, and an empty wwwroot\
     as the application's folder; a warning when the INI's [Template] err=
     makes the module read a notice page outside <InstallDir>
  3. the application pool (32-bit applications enabled for the x86 DLL)
  4. the application <Site>/<Application> in that pool
  5. the DLL allowed in ISAPI and CGI Restrictions
  6. the handler: <Application>/orvanehp.dll runs the DLL (written into
     applicationHost.config, where the handlers section is not locked)
  7. anonymous requests run as the pool identity, so one account reads
  8. ORVANE_INSDIR: per pool on IIS 10, system-wide on older IIS
  9. read and execute rights on <InstallDir> for the pool identity, given
     to its SID (account names are translated on some Windows languages)

See iis.md, next to this script, for each step done by hand.

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
[CmdletBinding()]
param(
    # The DLL to install: x64 for a 64-bit pool, x86 for a 32-bit one.
    [ValidateSet('x64', 'x86')]
    [string] $Architecture = 'x64',
    # The installation directory; the module's default needs no ORVANE_INSDIR.
    [string] $InstallDir = 'C:\Program Files\Orvane',
    [string] $Site = 'Default Web Site',
    [string] $Application = 'orvane',
    [string] $Pool = 'OrvanePool',
    # Use -Pool even though other applications run in it.
    [switch] $Force
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
    throw "Refusing -InstallDir '$InstallDir': the root of a drive cannot be an installation."
}
# The module opens its files with the ANSI functions of Windows, so the path
# must come through the system's ANSI code page unchanged.
$ansi = [System.Text.Encoding]::Default
if ($ansi.GetString($ansi.GetBytes($InstallDir)) -cne $InstallDir) {
    throw ("-InstallDir '$InstallDir' has characters outside this system's ANSI code page " +
           "($($ansi.WebName)): the module could not open its files there.")
}

$apphost = 'MACHINE/WEBROOT/APPHOST'
$location = "$Site/$Application"
$dll = "$InstallDir\isapi\orvanehp.dll"
$webRoot = "$InstallDir\wwwroot"
$poolPath = "IIS:\AppPools\$Pool"

# 1. Role services: Windows Server has the ServerManager cmdlets, client
# editions of Windows have optional features instead. Add-WindowsFeature is
# the cmdlet's name on Windows Server 2008 R2 and an alias of
# Install-WindowsFeature from 2012 on. The management scripts and tools
# bring the WebAdministration module and its IIS: drive.
if (Get-Command Get-WindowsFeature -ErrorAction SilentlyContinue) {
    foreach ($feature in 'Web-ISAPI-Ext', 'Web-Scripting-Tools') {
        if ((Get-WindowsFeature $feature).Installed) {
            Unchanged "role service $feature is installed"
        } else {
            Add-WindowsFeature $feature | Out-Null
            Changed "installed role service $feature"
        }
    }
} else {
    foreach ($feature in 'IIS-ISAPIExtensions', 'IIS-ManagementScriptingTools') {
        if ((Get-WindowsOptionalFeature -Online -FeatureName $feature).State -eq 'Enabled') {
            Unchanged "feature $feature is enabled"
        } else {
            Enable-WindowsOptionalFeature -Online -FeatureName $feature -All -NoRestart | Out-Null
            Changed "enabled feature $feature"
        }
    }
}
Import-Module WebAdministration

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

# The pool is stopped to replace the DLL and set to its bitness: both reach
# every application in it.
if (Test-Path -LiteralPath $poolPath) {
    $others = @(Get-Applications | Where-Object { $_.Pool -eq $Pool -and $_.Name -ne $location } |
                ForEach-Object { $_.Name })
    if ($others -and -not $Force) {
        throw ("Application pool $Pool also runs $($others -join ', '). Give -Pool a pool of its own " +
               "(it is created), or -Force to stop it and set its bitness anyway.")
    }
}

$backup = 'orvanehp-install-' + (Get-Date -Format 'yyyyMMdd-HHmmss')
Backup-WebConfiguration -Name $backup | Out-Null
Write-Host "backup:  IIS configuration saved as $backup; Restore-WebConfiguration -Name $backup returns to it"

# 2. Files.
foreach ($dir in $InstallDir, "$InstallDir\isapi", $webRoot,
                 "$InstallDir\data", "$InstallDir\help", "$InstallDir\template") {
    if (-not (Test-Path -LiteralPath $dir)) {
        [System.IO.Directory]::CreateDirectory($dir) | Out-Null
        Changed "created $dir"
    }
}
foreach ($page in 'help\nohp.html', 'template\dremerror.html') {
    $target = "$InstallDir\$page"
    if (Test-Path -LiteralPath $target) {
        Unchanged "$target exists (left as it is)"
    } else {
        Copy-Item -LiteralPath (Join-Path $PSScriptRoot "example\$page") -Destination $target
        Changed "copied the example's $page to $target"
    }
}

# The module takes err= from the INI's [Template] section (as the Windows
# profile functions read it: names without regard to case, the first err=)
# and sends the page named by replacing "\template\dremerror.html" in it,
# matching case exactly, with "\help\nohp.html".
$ini = "$InstallDir\data\dremgate_j.ini"
$marker = '\template\dremerror.html'
$errValue = "$InstallDir$marker"
if (Test-Path -LiteralPath $ini) {
    $section = ''
    $err = $null
    foreach ($line in Get-Content -LiteralPath $ini) {
        $line = $line.Trim()
        if ($line -match '^\[(.*)\]$') {
            $section = $Matches[1].Trim()
        } elseif ($null -eq $err -and $section -eq 'Template' -and $line -match '^err\s*=(.*)$') {
            $err = $Matches[1].Trim()
            if ($err -match '^"(.*)"$') { $err = $Matches[1] }
        }
    }
    $at = if ($null -eq $err) { -1 } else { $err.IndexOf($marker, [System.StringComparison]::Ordinal) }
    if ($at -lt 0) {
        Write-Warning ("$ini has no err= in [Template] containing $marker (exactly this case, with " +
                       "backslashes): every answer will be the built-in error page. Expected: err=$errValue")
    } elseif ($err -ne $errValue) {
        $sent = $err.Substring(0, $at) + '\help\nohp.html' + $err.Substring($at + $marker.Length)
        Write-Warning ("$ini names err=$err, so the module sends $sent, not this installation's " +
                       "$InstallDir\help\nohp.html. Expected: err=$errValue")
    } else {
        Unchanged "$ini names this installation's template: err=$err"
    }
} else {
    # UTF-16LE with a byte order mark: the Windows profile functions read it
    # whatever the system's ANSI code page.
    $text = "; orvane HP Translation: installation settings`r`n[Template]`r`nerr=$errValue`r`n"
    [System.IO.File]::WriteAllText($ini, $text, [System.Text.Encoding]::Unicode)
    Changed "wrote $ini with err=$errValue"
}

# The DLL stays loaded, and its file locked, while a worker process of its
# pool runs: stop the pool to replace it, and start it again whatever
# happens, so that a failed copy does not leave its applications at 503.
$newDll = Join-Path $PSScriptRoot "$Architecture\orvanehp.dll"
if ((Test-Path -LiteralPath $dll) -and
    (Get-FileHash -LiteralPath $dll).Hash -eq (Get-FileHash -LiteralPath $newDll).Hash) {
    Unchanged "$dll is the $Architecture build of this release"
} else {
    $restart = (Test-Path -LiteralPath $poolPath) -and (Get-WebAppPoolState -Name $Pool).Value -eq 'Started'
    if ($restart) {
        Stop-WebAppPool -Name $Pool
        Changed "stopped application pool $Pool to replace the DLL"
    }
    try {
        # A stopping worker process may hold the file for up to the pool's
        # shutdownTimeLimit (90 seconds by default).
        for ($attempt = 1; ; $attempt++) {
            try { Copy-Item -LiteralPath $newDll -Destination $dll -Force; break }
            catch { if ($attempt -ge 120) { throw } ; Start-Sleep -Seconds 1 }
        }
        Changed "copied $newDll to $dll"
    } finally {
        if ($restart) {
            Start-WebAppPool -Name $Pool
            Changed "started application pool $Pool"
        }
    }
}

# 3. Application pool.
if (Test-Path -LiteralPath $poolPath) {
    Unchanged "application pool $Pool exists"
} else {
    New-WebAppPool -Name $Pool | Out-Null
    Changed "created application pool $Pool"
}
$want32 = $Architecture -eq 'x86'
if ([Environment]::Is64BitOperatingSystem) {
    if ((Get-Item -LiteralPath $poolPath).enable32BitAppOnWin64 -eq $want32) {
        Unchanged "$Pool has enable32BitAppOnWin64=$want32"
    } else {
        Set-ItemProperty -LiteralPath $poolPath -Name enable32BitAppOnWin64 -Value $want32
        Changed "set enable32BitAppOnWin64=$want32 on $Pool"
    }
}

# 4. Application.
$app = Get-WebApplication -Site $Site -Name $Application
if (-not $app) {
    New-WebApplication -Site $Site -Name $Application -PhysicalPath $webRoot -ApplicationPool $Pool | Out-Null
    Changed "created application $location (folder $webRoot, pool $Pool)"
} elseif ($app.applicationPool -ne $Pool) {
    Set-ItemProperty -LiteralPath "IIS:\Sites\$Site\$Application" -Name applicationPool -Value $Pool
    Changed "moved application $location into pool $Pool"
} else {
    Unchanged "application $location runs in pool $Pool"
}

# 5. ISAPI and CGI Restrictions.
$restrictions = 'system.webServer/security/isapiCgiRestriction'
$entry = Get-WebConfiguration -PSPath $apphost -Filter "$restrictions/add[@path='$dll']"
if (-not $entry) {
    Add-WebConfiguration -PSPath $apphost -Filter $restrictions -Value @{
        path = $dll; allowed = $true; description = 'orvane HP Translation CGI module' }
    Changed "allowed $dll in ISAPI and CGI Restrictions"
} elseif (-not $entry.allowed) {
    Set-WebConfigurationProperty -PSPath $apphost -Filter "$restrictions/add[@path='$dll']" `
        -Name allowed -Value $true
    Changed "allowed $dll in ISAPI and CGI Restrictions (it was listed as not allowed)"
} else {
    Unchanged "$dll is allowed in ISAPI and CGI Restrictions"
}

# 6. Handler, in a <location> of applicationHost.config: web.config may not
# set handlers on a bare IIS (see Feature Delegation in iis.md).
$precondition = if ($want32) { 'bitness32' } else { 'bitness64' }
$handler = Get-WebHandler -Name orvanehp -PSPath $apphost -Location $location
$handlerSettings = @{
    Path = 'orvanehp.dll'; Verb = '*'; Modules = 'IsapiModule'; ScriptProcessor = $dll
    ResourceType = 'Unspecified'; RequiredAccess = 'Script'; Precondition = $precondition
    PSPath = $apphost; Location = $location }
if (-not $handler) {
    New-WebHandler -Name orvanehp @handlerSettings | Out-Null
    Changed "mapped $location/orvanehp.dll to $dll ($precondition)"
} elseif ($handler.scriptProcessor -ne $dll -or $handler.preCondition -ne $precondition) {
    Set-WebHandler -Name orvanehp @handlerSettings
    Changed "re-mapped $location/orvanehp.dll to $dll ($precondition)"
} else {
    Unchanged "$location/orvanehp.dll is mapped to $dll ($precondition)"
}

# 7. Anonymous requests run as the pool identity (an empty userName), not
# as IUSR: the module reads its files as that user.
$anonymous = 'system.webServer/security/authentication/anonymousAuthentication'
if ((Get-WebConfiguration -PSPath $apphost -Location $location -Filter $anonymous).userName -eq '') {
    Unchanged "anonymous requests to $location run as the pool identity"
} else {
    Set-WebConfigurationProperty -PSPath $apphost -Location $location -Filter $anonymous `
        -Name userName -Value ''
    Changed "anonymous requests to $location now run as the pool identity"
}

# 8. ORVANE_INSDIR. IIS 10 passes per-pool variables to the worker process;
# older IIS only has the system environment, which WAS reads when it starts.
$iisMajor = (Get-Item -LiteralPath "$env:windir\System32\inetsrv\w3wp.exe").VersionInfo.FileMajorPart
if ($iisMajor -ge 10) {
    $variables = "system.applicationHost/applicationPools/add[@name='$Pool']/environmentVariables"
    $variable = Get-WebConfiguration -PSPath $apphost -Filter "$variables/add[@name='ORVANE_INSDIR']"
    if (-not $variable) {
        Add-WebConfigurationProperty -PSPath $apphost -Filter $variables -Name '.' `
            -Value @{ name = 'ORVANE_INSDIR'; value = $InstallDir }
        Changed "set ORVANE_INSDIR=$InstallDir for pool $Pool"
    } elseif ($variable.value -cne $InstallDir) {
        Set-WebConfigurationProperty -PSPath $apphost -Filter "$variables/add[@name='ORVANE_INSDIR']" `
            -Name value -Value $InstallDir
        Changed "set ORVANE_INSDIR=$InstallDir for pool $Pool (was $($variable.value))"
    } else {
        Unchanged "pool $Pool has ORVANE_INSDIR=$InstallDir"
    }
} else {
    $current = [Environment]::GetEnvironmentVariable('ORVANE_INSDIR', 'Machine')
    if ($current -ceq $InstallDir -or (-not $current -and $InstallDir -ceq 'C:\Program Files\Orvane')) {
        Unchanged "the worker process finds the installation at $InstallDir"
    } else {
        [Environment]::SetEnvironmentVariable('ORVANE_INSDIR', $InstallDir, 'Machine')
        Changed "set the system variable ORVANE_INSDIR=$InstallDir"
        Write-Warning ("Worker processes see the new value only after WAS restarts, or a reboot: " +
                       "'net stop was /y' stops WAS and every service that depends on it (it lists " +
                       "them), and each of those that was running must be started again, " +
                       "'net start w3svc' first. Every site stops for a moment.")
    }
}

# 9. Read rights for the account the module reads as, given to its SID:
# icacls takes "*S-..." in any Windows language, names only in some.
$model = (Get-Item -LiteralPath $poolPath).processModel
$sidType = [System.Security.Principal.SecurityIdentifier]
$sid = switch ($model.identityType) {
    'LocalSystem' { 'S-1-5-18' }
    'LocalService' { 'S-1-5-19' }
    'NetworkService' { 'S-1-5-20' }
    'ApplicationPoolIdentity' {
        ([System.Security.Principal.NTAccount] "IIS AppPool\$Pool").Translate($sidType).Value }
    'SpecificUser' { ([System.Security.Principal.NTAccount] $model.userName).Translate($sidType).Value }
    default { throw "application pool $Pool has the unknown identityType $($model.identityType)" }
}
$readExecute = [System.Security.AccessControl.FileSystemRights]::ReadAndExecute
$rules = (Get-Acl -LiteralPath $InstallDir).GetAccessRules($true, $true, $sidType)
$granted = $rules | Where-Object {
    $_.IdentityReference.Value -eq $sid -and $_.AccessControlType -eq 'Allow' -and
    ($_.FileSystemRights -band $readExecute) -eq $readExecute }
if ($granted) {
    Unchanged "the pool identity ($sid) may read $InstallDir"
} else {
    icacls.exe $InstallDir /grant "*${sid}:(OI)(CI)RX" | Out-Null
    if ($LASTEXITCODE -ne 0) { throw "icacls could not grant $sid read access to $InstallDir" }
    Changed "granted the pool identity ($sid) read and execute on $InstallDir and everything in it"
}

Write-Host ''
Write-Host "Check: http://localhost/$Application/orvanehp.dll (see 'Verify' in iis.md)"
